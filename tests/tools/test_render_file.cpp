// The render tool run as a user runs it: what the written file holds (format,
// length, samples, peak), what a bad input or target leaves behind, and the
// exact exit status, where a death by signal is never the expected failure.

#include "kym-render/BassPhrase.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace
{

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Running the tool

struct Outcome
{
    bool exited = false;
    int code = -1;
    int signal = 0;
    std::string out;
    std::string err;
};

std::string slurp(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

void spit(const fs::path& p, const std::string& bytes)
{
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), (std::streamsize) bytes.size());
}

Outcome render(const fs::path& folder, const std::vector<std::string>& args)
{
    const auto outFile = folder / ".stdout";
    const auto errFile = folder / ".stderr";
    std::vector<std::string> all { KYM_RENDER };
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;

    for (auto& a : all)
        argv.push_back(a.data());

    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

    Outcome r;
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);

    if (spawned != 0)
    {
        r.err = std::string("spawn failed: ") + std::strerror(spawned);
        return r;
    }

    int status = 0;

    while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
    {}

    r.exited = WIFEXITED(status);
    r.code = r.exited ? WEXITSTATUS(status) : -1;
    r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    r.out = slurp(outFile);
    r.err = slurp(errFile);
    fs::remove(outFile);
    fs::remove(errFile);
    return r;
}

::testing::AssertionResult exitsWith(const Outcome& r, int code)
{
    if (r.exited && r.code == code)
        return ::testing::AssertionSuccess();

    auto failure = ::testing::AssertionFailure();

    if (r.exited)
        failure << "exit status " << r.code << ", expected " << code;
    else
        failure << "died of signal " << r.signal << ", expected exit status " << code;

    return failure << "\nstdout: " << r.out << "\nstderr: " << r.err;
}

// The figures of the result line: {peak, RMS} in dBFS.
bool reportedLevels(const Outcome& r, double& peak, double& rms)
{
    static const std::regex line("peak (-?[0-9.]+|-inf) dBFS, RMS (-?[0-9.]+|-inf) dBFS, CPU");
    std::smatch m;

    if (!std::regex_search(r.out, m, line))
        return false;

    peak = m[1] == "-inf" ? -INFINITY : std::stod(m[1]);
    rms = m[2] == "-inf" ? -INFINITY : std::stod(m[2]);
    return true;
}

// ---------------------------------------------------------------------------
// WAV files, written and read here byte by byte

using Channels = std::vector<std::vector<float>>;

struct WavLayout
{
    int channels = 1;
    int rate = 48000;
    int bits = 32;
    bool isFloat = true;
};

void put16(std::string& s, uint32_t v)
{
    s += (char) (v & 0xff);
    s += (char) ((v >> 8) & 0xff);
}

void put32(std::string& s, uint32_t v)
{
    put16(s, v & 0xffff);
    put16(s, v >> 16);
}

// A plain WAV file; declaredFrames, when given, is what the header claims.
std::string wavBytes(const WavLayout& layout, const Channels& data, long declaredFrames = -1)
{
    const size_t frames = data.empty() ? 0 : data[0].size();
    const int bytes = layout.bits / 8;
    std::string samples;

    for (size_t i = 0; i < frames; ++i)
    {
        for (int c = 0; c < layout.channels; ++c)
        {
            const double v = data[(size_t) c][i];

            if (layout.isFloat && layout.bits == 32)
            {
                const float f = (float) v;
                uint32_t u;
                std::memcpy(&u, &f, 4);
                put32(samples, u);
            }
            else if (layout.isFloat)
            {
                uint64_t u;
                std::memcpy(&u, &v, 8);
                put32(samples, (uint32_t) u);
                put32(samples, (uint32_t) (u >> 32));
            }
            else
            {
                const double full = std::ldexp(1.0, layout.bits - 1);
                const long q = std::lround(std::fmax(-full, std::fmin(full - 1.0, v * full)));
                // 8-bit WAV samples are unsigned.
                const uint32_t u = (uint32_t) (layout.bits == 8 ? q + 128 : q);

                for (int b = 0; b < bytes; ++b)
                    samples += (char) ((u >> (8 * b)) & 0xff);
            }
        }
    }

    const uint32_t dataSize =
        (uint32_t) ((declaredFrames >= 0 ? (size_t) declaredFrames : frames) * (size_t) (layout.channels * bytes));
    std::string s = "RIFF";
    put32(s, 36 + dataSize);
    s += "WAVEfmt ";
    put32(s, 16);
    put16(s, layout.isFloat ? 3 : 1);
    put16(s, (uint32_t) layout.channels);
    put32(s, (uint32_t) layout.rate);
    put32(s, (uint32_t) (layout.rate * layout.channels * bytes));
    put16(s, (uint32_t) (layout.channels * bytes));
    put16(s, (uint32_t) layout.bits);
    s += "data";
    put32(s, dataSize);
    return s + samples;
}

void writeWav(const fs::path& p, const Channels& data, int rate = 48000, int bits = 32, bool isFloat = true)
{
    spit(p, wavBytes({ (int) data.size(), rate, bits, isFloat }, data));
}

struct Wav
{
    bool ok = false;
    std::string problem;
    int format = 0; // 1 PCM, 3 float
    int channels = 0;
    int rate = 0;
    int bits = 0;
    Channels samples; // full scale 1, as any reader scales them

    size_t frames() const { return samples.empty() ? 0 : samples[0].size(); }
};

uint32_t get(const std::string& s, size_t at, int bytes)
{
    uint32_t v = 0;

    for (int b = bytes; --b >= 0;)
        v = (v << 8) | (uint8_t) s[at + (size_t) b];

    return v;
}

// Reads what the tool writes: 16 and 24-bit PCM, 32-bit float, skipping
// chunks it does not need. A data chunk that runs past the file's end is a
// problem, not silence.
Wav readWav(const fs::path& p)
{
    Wav w;
    const auto s = slurp(p);

    if (s.size() < 12 || s.compare(0, 4, "RIFF") != 0 || s.compare(8, 4, "WAVE") != 0)
    {
        w.problem = "not a RIFF WAVE file";
        return w;
    }

    for (size_t at = 12; at + 8 <= s.size();)
    {
        const auto id = s.substr(at, 4);
        const size_t size = get(s, at + 4, 4);
        const size_t body = at + 8;

        if (id == "fmt " && size >= 16 && body + 16 <= s.size())
        {
            w.format = (int) get(s, body, 2);
            w.channels = (int) get(s, body + 2, 2);
            w.rate = (int) get(s, body + 4, 4);
            w.bits = (int) get(s, body + 14, 2);
        }
        else if (id == "data")
        {
            if (w.channels == 0 || w.bits == 0)
            {
                w.problem = "data before fmt";
                return w;
            }

            if (body + size > s.size())
            {
                w.problem = "data chunk runs past the end of the file";
                return w;
            }

            const int bytes = w.bits / 8;
            const size_t frames = size / (size_t) (bytes * w.channels);
            w.samples.assign((size_t) w.channels, std::vector<float>(frames));

            for (size_t i = 0; i < frames; ++i)
            {
                for (int c = 0; c < w.channels; ++c)
                {
                    const size_t pos = body + (i * (size_t) w.channels + (size_t) c) * (size_t) bytes;
                    const uint32_t u = get(s, pos, bytes);
                    float v = 0.0f;

                    if (w.format == 3 && w.bits == 32)
                        std::memcpy(&v, &u, 4);
                    else
                        // Sign-extend, then steps / 2^(bits - 1).
                        v = (float) ((double) (int32_t) (u << (32 - w.bits)) / 2147483648.0);

                    w.samples[(size_t) c][i] = v;
                }
            }

            w.ok = true;
            return w;
        }

        at = body + size + (size & 1);
    }

    w.problem = "no data chunk";
    return w;
}

double peakOf(const Wav& w)
{
    double peak = 0.0;

    for (const auto& ch : w.samples)
        for (float v : ch)
            peak = std::fmax(peak, std::fabs((double) v));

    return peak;
}

double rmsOf(const Wav& w)
{
    double sum = 0.0;
    size_t n = 0;

    for (const auto& ch : w.samples)
    {
        for (float v : ch)
            sum += (double) v * v;

        n += ch.size();
    }

    return n > 0 ? std::sqrt(sum / (double) n) : 0.0;
}

double db(double v)
{
    return v > 0.0 ? 20.0 * std::log10(v) : -INFINITY;
}

double rmsDifference(const std::vector<float>& a, const std::vector<float>& b)
{
    double sum = 0.0;

    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        sum += ((double) a[i] - b[i]) * ((double) a[i] - b[i]);

    return a.empty() ? 0.0 : std::sqrt(sum / (double) a.size());
}

double maxDifference(const std::vector<float>& a, const std::vector<float>& b)
{
    double d = 0.0;

    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        d = std::fmax(d, std::fabs((double) a[i] - b[i]));

    return d;
}

std::vector<float> sine(int frames, int rate, double hz, double amp, double phase = 0.0)
{
    std::vector<float> v((size_t) frames);

    for (int i = 0; i < frames; ++i)
        v[(size_t) i] = (float) (amp * std::sin(2.0 * std::acos(-1.0) * hz * i / rate + phase));

    return v;
}

std::set<std::string> namesIn(const fs::path& folder)
{
    std::set<std::string> names;

    for (const auto& e : fs::directory_iterator(folder))
        names.insert(e.path().filename().string());

    return names;
}

// One fresh folder per test.
class RenderFile : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "kym-render-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    std::string at(const char* name) const { return (dir / name).string(); }

    Outcome run(const std::vector<std::string>& args) const { return render(dir, args); }

    fs::path dir;
};

constexpr int rate = 48000;
const Channels quietSine { sine(rate / 4, rate, 110.0, 0.25) };

// ---------------------------------------------------------------------------

struct FormatCase
{
    const char* bitsOption; // nullptr: the default
    int format;
    int bits;
    int inputBits; // the input file's samples; 32 is float
    int inputRate;
};

TEST_F(RenderFile, WritesTheChosenSampleFormatAndReportsWhatItWrote)
{
    writeWav(at("ref.wav"), quietSine);
    ASSERT_TRUE(exitsWith(run({ "--output", at("ref-out.wav"), at("ref.wav") }), 0));
    const auto reference = readWav(at("ref-out.wav"));
    ASSERT_TRUE(reference.ok) << reference.problem;

    const FormatCase cases[] = {
        { nullptr, 3, 32, 32, 44100 },
        { "32f", 3, 32, 8, 48000 },
        { "24", 1, 24, 24, 48000 },
        { "16", 1, 16, 16, 48000 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string("--bits ") + (c.bitsOption ? c.bitsOption : "(default)") + ", input bits "
                     + std::to_string(c.inputBits));
        writeWav(at("in.wav"), quietSine, c.inputRate, c.inputBits, c.inputBits == 32);
        std::vector<std::string> args { "--output", at("out.wav"), at("in.wav") };

        if (c.bitsOption != nullptr)
            args.insert(args.begin(), { "--bits", c.bitsOption });

        const auto r = run(args);
        ASSERT_TRUE(exitsWith(r, 0));
        EXPECT_EQ(r.err.find("clipped"), std::string::npos) << r.err;

        const auto w = readWav(at("out.wav"));
        ASSERT_TRUE(w.ok) << w.problem;
        EXPECT_EQ(w.format, c.format);
        EXPECT_EQ(w.bits, c.bits);
        EXPECT_EQ(w.channels, 1);
        EXPECT_EQ(w.rate, c.inputRate);
        ASSERT_EQ(w.frames(), quietSine[0].size());

        double peak = 0.0, rms = 0.0;
        ASSERT_TRUE(reportedLevels(r, peak, rms)) << r.out;
        EXPECT_NEAR(peak, db(peakOf(w)), 0.006);
        EXPECT_NEAR(rms, db(rmsOf(w)), 0.006);
        EXPECT_GT(peak, -40.0);

        // An integer input is read as the same signal, give or take its steps.
        if (c.inputRate == 48000)
            EXPECT_LT(rmsDifference(w.samples[0], reference.samples[0]), 0.05 * rmsOf(reference));
    }
}

TEST_F(RenderFile, IntegerOutputIsTheFloatRenderRounded)
{
    writeWav(at("in.wav"), quietSine);
    ASSERT_TRUE(exitsWith(run({ "--output", at("float.wav"), at("in.wav") }), 0));
    const auto f = readWav(at("float.wav"));
    ASSERT_TRUE(f.ok) << f.problem;

    for (int bits : { 16, 24 })
    {
        SCOPED_TRACE(bits);
        ASSERT_TRUE(exitsWith(run({ "--bits", std::to_string(bits), "--output", at("int.wav"), at("in.wav") }), 0));
        const auto w = readWav(at("int.wav"));
        ASSERT_TRUE(w.ok) << w.problem;
        // Rounded to the nearest step, not truncated or scaled by one step less.
        EXPECT_LE(maxDifference(w.samples[0], f.samples[0]), std::ldexp(0.5, 1 - bits) * 1.0001);
    }
}

TEST_F(RenderFile, IntegerClippingIsCountedAndThePeaksAreTrue)
{
    const Channels hot { sine(rate / 2, rate, 110.0, 0.5) };
    writeWav(at("in.wav"), hot);
    const std::vector<std::string> loud { "--set", "Level=10", "--set", "Input=2" };

    auto args = loud;
    args.insert(args.end(), { "--output", at("float.wav"), at("in.wav") });
    const auto floatRun = run(args);
    ASSERT_TRUE(exitsWith(floatRun, 0));
    EXPECT_EQ(floatRun.err.find("clipped"), std::string::npos) << "a float file does not clip";
    const auto f = readWav(at("float.wav"));
    ASSERT_TRUE(f.ok) << f.problem;
    ASSERT_GT(peakOf(f), 1.0) << "the setting must drive the output past full scale";

    for (int bits : { 16, 24 })
    {
        SCOPED_TRACE(bits);
        args = loud;
        args.insert(args.end(), { "--bits", std::to_string(bits), "--output", at("int.wav"), at("in.wav") });
        const auto r = run(args);
        ASSERT_TRUE(exitsWith(r, 0)) << "clipping is a warning, not a failure";

        static const std::regex warning("warning: ([0-9]+) of ([0-9]+) samples clipped .* peaks at ([-+][0-9.]+) dBFS");
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.err, m, warning)) << r.err;
        const long clipped = std::stol(m[1]);
        EXPECT_EQ(std::stol(m[2]), (long) hot[0].size());
        EXPECT_NEAR(std::stod(m[3]), db(peakOf(f)), 0.006) << "the peak before clipping";

        const auto w = readWav(at("int.wav"));
        ASSERT_TRUE(w.ok) << w.problem;
        const double top = 1.0 - std::ldexp(1.0, 1 - bits);
        long over = 0, atFullScale = 0;

        for (size_t i = 0; i < w.frames(); ++i)
        {
            over += std::fabs(f.samples[0][i]) > 1.0;
            atFullScale += w.samples[0][i] >= top || w.samples[0][i] <= -1.0;
        }

        // Every sample beyond full scale clipped, and every clipped one is
        // held at full scale in the file.
        EXPECT_GT(over, 1000);
        EXPECT_GE(clipped, over);
        EXPECT_LE(clipped, atFullScale);

        double peak = 0.0, rms = 0.0;
        ASSERT_TRUE(reportedLevels(r, peak, rms)) << r.out;
        EXPECT_NEAR(peak, db(peakOf(w)), 0.006) << "the reported peak is the file's";
        EXPECT_LE(peak, 0.0);
        EXPECT_NEAR(rms, db(rmsOf(w)), 0.006);
    }
}

struct ChannelCase
{
    const char* option; // --channel value, or nullptr
    const char* reference;
    bool notice;
};

TEST_F(RenderFile, StereoInputFeedsTheChosenChannel)
{
    const auto left = sine(rate / 4, rate, 110.0, 0.3);
    const auto right = sine(rate / 4, rate, 173.0, 0.2, 1.0);
    std::vector<float> mid(left.size());

    for (size_t i = 0; i < mid.size(); ++i)
        mid[i] = (left[i] + right[i]) * 0.5f;

    writeWav(at("stereo.wav"), { left, right });

    for (const auto& [name, signal] : { std::pair { "left", left }, { "right", right }, { "mid", mid } })
    {
        const auto in = std::string(name) + ".wav";
        writeWav(at(in.c_str()), { signal });
        ASSERT_TRUE(exitsWith(run({ "--output", at(("ref-" + in).c_str()), at(in.c_str()) }), 0));
    }

    const ChannelCase cases[] = {
        { nullptr, "ref-left.wav", true },
        { "left", "ref-left.wav", false },
        { "right", "ref-right.wav", false },
        { "mid", "ref-mid.wav", false },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.option ? c.option : "(no --channel)");
        std::vector<std::string> args { "--output", at("out.wav"), at("stereo.wav") };

        if (c.option != nullptr)
            args.insert(args.begin(), { "--channel", c.option });

        const auto r = run(args);
        ASSERT_TRUE(exitsWith(r, 0));
        EXPECT_EQ(r.err.find("right one is not used") != std::string::npos, c.notice) << r.err;

        const auto w = readWav(at("out.wav"));
        const auto ref = readWav(at(c.reference));
        ASSERT_TRUE(w.ok && ref.ok) << w.problem << ref.problem;
        ASSERT_EQ(w.channels, 2);
        ASSERT_EQ(w.frames(), left.size());
        // The plug-in's one output on both channels, the same as from the mono file.
        EXPECT_EQ(w.samples[0], ref.samples[0]);
        EXPECT_EQ(w.samples[1], ref.samples[0]);
    }
}

// The largest second difference over [from, to): a step or a kink stands out
// from a smooth wave.
double roughness(const std::vector<float>& v, size_t from, size_t to)
{
    double r = 0.0;

    for (size_t i = std::max<size_t>(from, 1); i + 1 < std::min(to, v.size()); ++i)
        r = std::fmax(r, std::fabs((double) v[i + 1] - 2.0 * v[i] + v[i - 1]));

    return r;
}

TEST_F(RenderFile, NoClickAtTheFirstBlockBoundary)
{
    // The settings and the file's rate reach the circuit before the file
    // starts: nothing restarts it at the first block boundary.
    writeWav(at("in.wav"), quietSine);
    const std::vector<std::vector<std::string>> cases {
        { "--block", "512" },
        { "--block", "4096", "--set", "Drive=7", "--set", "Quality=1" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE(c[1]);
        auto args = c;
        args.insert(args.end(), { "--output", at("out.wav"), at("in.wav") });
        ASSERT_TRUE(exitsWith(run(args), 0));
        const auto w = readWav(at("out.wav"));
        ASSERT_TRUE(w.ok) << w.problem;

        const size_t block = (size_t) std::stoi(c[1]);
        const auto& s = w.samples[0];
        const double steady = roughness(s, s.size() / 2, s.size());
        ASSERT_GT(steady, 0.0);
        EXPECT_LT(roughness(s, block - 8, block + 8), 2.0 * steady);
    }
}

TEST_F(RenderFile, NotANumberInTheInputLeavesAFiniteFile)
{
    auto signal = quietSine[0];

    for (size_t i = 3000; i < 3100; ++i)
        signal[i] = i % 2 ? NAN : INFINITY;

    writeWav(at("in.wav"), { signal });
    ASSERT_TRUE(exitsWith(run({ "--output", at("out.wav"), at("in.wav") }), 0));
    const auto w = readWav(at("out.wav"));
    ASSERT_TRUE(w.ok) << w.problem;
    ASSERT_EQ(w.frames(), signal.size());

    for (float v : w.samples[0])
        ASSERT_TRUE(std::isfinite(v));

    // And the sound comes back after the burst.
    EXPECT_GT(std::fabs(w.samples[0][w.frames() - 100]) + std::fabs(w.samples[0][w.frames() - 200]), 1e-4);
}

// ---------------------------------------------------------------------------
// Bad input: a one-line error, exit status 1, and nothing written

struct BadInput
{
    const char* what;
    std::string bytes; // empty: no file at all
    bool isFolder;
};

std::vector<BadInput> badInputs()
{
    const auto sineData = Channels { sine(4800, rate, 110.0, 0.25) };
    const auto full = wavBytes({}, sineData);
    std::string aiff = "FORM";
    put32(aiff, 4);
    aiff += "AIFF";

    return {
        { "no samples", wavBytes({}, {}), false },
        { "data cut short", wavBytes({}, sineData, 48000), false },
        { "header cut short", full.substr(0, 30), false },
        { "not audio", "just some text, not a WAV file\n", false },
        { "AIFF", aiff, false },
        { "three channels", wavBytes({ 3, rate, 32, true }, { sineData[0], sineData[0], sineData[0] }), false },
        { "64-bit float", wavBytes({ 1, rate, 64, true }, sineData), false },
        { "no such file", "", false },
        { "a folder", "", true },
    };
}

TEST_F(RenderFile, BadInputFailsCleanlyAndWritesNothing)
{
    const std::string old = "an old file that must survive\n";

    for (const auto& c : badInputs())
    {
        for (bool oldOutput : { false, true })
        {
            SCOPED_TRACE(std::string(c.what) + (oldOutput ? ", with an old output" : ""));
            fs::remove_all(dir / "in.wav");
            fs::remove(dir / "out.wav");

            if (c.isFolder)
                fs::create_directory(dir / "in.wav");
            else if (!c.bytes.empty())
                spit(dir / "in.wav", c.bytes);

            if (oldOutput)
                spit(dir / "out.wav", old);

            const auto before = namesIn(dir);
            const auto r = run({ "--output", at("out.wav"), at("in.wav") });
            EXPECT_TRUE(exitsWith(r, 1));
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err.rfind("kym-render: ", 0), 0u) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
            EXPECT_EQ(namesIn(dir), before) << "no partial or temporary file";

            if (oldOutput)
                EXPECT_EQ(slurp(dir / "out.wav"), old);
        }
    }
}

// ---------------------------------------------------------------------------
// The output target

TEST_F(RenderFile, RefusesToReplaceAnythingButAFile)
{
    writeWav(at("in.wav"), quietSine);
    fs::create_directory(dir / "empty");
    fs::create_directories(dir / "full" / "inner");
    spit(dir / "full" / "keep.txt", "kept");
    ASSERT_EQ(mkfifo(at("fifo").c_str(), 0644), 0);
    fs::create_directory_symlink(dir / "full", dir / "link-to-folder");
    fs::create_symlink(dir / "nowhere", dir / "dangling");

    for (const char* target : { "empty", "full", "fifo", "link-to-folder", "dangling" })
    {
        SCOPED_TRACE(target);
        const auto before = namesIn(dir);
        const auto r = run({ "--output", at(target), at("in.wav") });
        EXPECT_TRUE(exitsWith(r, 1));
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(namesIn(dir), before);
    }

    EXPECT_TRUE(fs::is_directory(dir / "empty"));
    EXPECT_EQ(namesIn(dir / "full"), (std::set<std::string> { "inner", "keep.txt" }));
    EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
    EXPECT_TRUE(fs::is_symlink(dir / "dangling"));
}

TEST_F(RenderFile, ReplacesAFileWholeAndKeepsItsPermissions)
{
    writeWav(at("in.wav"), quietSine);

    // An old file, much longer than the new one: nothing of it may remain.
    spit(dir / "out.wav", std::string(1 << 20, 'x'));
    ASSERT_EQ(chmod(at("out.wav").c_str(), 0640), 0);
    ASSERT_TRUE(exitsWith(run({ "--output", at("out.wav"), at("in.wav") }), 0));
    auto w = readWav(at("out.wav"));
    ASSERT_TRUE(w.ok) << w.problem;
    EXPECT_EQ(w.frames(), quietSine[0].size());
    EXPECT_LT(fs::file_size(dir / "out.wav"), (uintmax_t) (1 << 20));
    struct stat st
    {};
    ASSERT_EQ(stat(at("out.wav").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // Through a link: the file it points at is replaced, the link stays.
    fs::create_directory(dir / "real");
    spit(dir / "real" / "target.wav", "old");
    fs::create_symlink(dir / "real" / "target.wav", dir / "link.wav");
    ASSERT_TRUE(exitsWith(run({ "--output", at("link.wav"), at("in.wav") }), 0));
    EXPECT_TRUE(fs::is_symlink(dir / "link.wav"));
    w = readWav(dir / "real" / "target.wav");
    ASSERT_TRUE(w.ok) << w.problem;
    EXPECT_EQ(w.frames(), quietSine[0].size());

    // A missing folder is made.
    ASSERT_TRUE(exitsWith(run({ "--output", at("new/folder/out.wav"), at("in.wav") }), 0));
    EXPECT_TRUE(readWav(dir / "new" / "folder" / "out.wav").ok);

    EXPECT_EQ(namesIn(dir), (std::set<std::string> { "in.wav", "out.wav", "real", "link.wav", "new" }))
        << "no temporary file left behind";
    EXPECT_EQ(namesIn(dir / "real"), (std::set<std::string> { "target.wav" }));
}

// ---------------------------------------------------------------------------
// The built-in phrase through both formats, as the main job renders it

TEST_F(RenderFile, RendersTheBuiltInPhraseAlikeThroughBothFormats)
{
    const size_t phraseFrames = (size_t) kymrender::BassPhrase::make(48000.0).getNumSamples();
    std::vector<Wav> outs;

    for (const char* format : { "vst3", "lv2" })
    {
        SCOPED_TRACE(format);
        const auto out = std::string(format) + ".wav";
        const auto r =
            run({ "--format", format, "--set", "Drive=7", "--set", "Quality=1", "--output", at(out.c_str()) });
        ASSERT_TRUE(exitsWith(r, 0));
        EXPECT_NE(r.out.find(std::string(": ") + format + ", 32-bit float, "), std::string::npos) << r.out;

        outs.push_back(readWav(at(out.c_str())));
        const auto& w = outs.back();
        ASSERT_TRUE(w.ok) << w.problem;
        EXPECT_EQ(w.format, 3);
        EXPECT_EQ(w.rate, 48000);
        EXPECT_EQ(w.channels, 1);
        EXPECT_EQ(w.frames(), phraseFrames);

        double peak = 0.0, rms = 0.0;
        ASSERT_TRUE(reportedLevels(r, peak, rms)) << r.out;
        EXPECT_NEAR(peak, db(peakOf(w)), 0.006);
        EXPECT_GT(peak, -30.0);
    }

    EXPECT_LT(maxDifference(outs[0].samples[0], outs[1].samples[0]), 1e-6);
}

TEST_F(RenderFile, ABadCommandLineExitsWithTwoAndWritesNothing)
{
    writeWav(at("in.wav"), quietSine);

    for (const char* bad : { "--set=Drive=11", "--bits=32", "--bits=8", "--channel=side", "--block=0" })
    {
        SCOPED_TRACE(bad);
        const std::string option(bad);
        const auto eq = option.find('=');
        const auto r = run({ option.substr(0, eq), option.substr(eq + 1), "--output", at("out.wav"), at("in.wav") });
        EXPECT_TRUE(exitsWith(r, 2));
        EXPECT_EQ(namesIn(dir), (std::set<std::string> { "in.wav" }));
    }
}

} // namespace
