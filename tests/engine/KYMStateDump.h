#pragma once

// The engine's whole state as named bits, for the tests that run a block
// path beside the per-sample chain (the engine's and the processor's).

#include "engine/KYM.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace enginetest
{

// A field added to a stage must be carried by the block path and compared
// below; these fail first when one is.
static_assert(sizeof(ParamSlot) == 16);
static_assert(sizeof(KYM_HIGHPASS) == 9 * sizeof(double));
static_assert(sizeof(KYM_BLEND) == 9 * sizeof(double));
static_assert(sizeof(DFI<4>) == (5 + 5 + 5 + 1 + 5 + 10) * sizeof(double));
static_assert(sizeof(DFI<3>) == (4 + 4 + 5 + 1 + 5 + 8) * sizeof(double));
static_assert(sizeof(KYM_DRIVE) == (5 + 7 + 3 + 3 + 1 + 21) * sizeof(double) + sizeof(TransferTable*));
static_assert(sizeof(libqor::dsp::TDFII<6>) == sizeof(void(libqor::dsp::TDFII<6>::*)(double&)) + 21 * sizeof(double));
static_assert(sizeof(KYM_TONESTAGE)
              == sizeof(void(KYM_TONESTAGE::*)()) + (4 + 5 + 7 + 6 + 4 + 14 + 14 + 126 + 1) * sizeof(double)
                  + sizeof(libqor::dsp::TDFII<6>));

// Every state field of an engine by name, as raw bits: doubles compare by
// their bits (so -0.0 differs from +0.0 and NaNs by payload), member
// pointers by their bytes, table pointers by what they point at. Only the
// block path's own choice (which variant runs) is left out.
class StateDump
{
public:
    explicit StateDump(const KYM& e)
    {
        for (int i = 0; i < KYM::Slot::count; ++i)
        {
            const std::string s = "slots[" + std::to_string(i) + "].";
            add(s + "value", e.slots[i].value);
            addInt(s + "changed", e.slots[i].changed);
            addInt(s + "segTaper", e.slots[i].segTaper);
            addInt(s + "logTaper", e.slots[i].logTaper);
        }
        highpass("inputHighpass", e.inputHighpass);
        highpass("outputHighpass", e.outputHighpass);
        highpass("finalHighpass", e.finalHighpass);
        const KYM_BLEND& b = e.blend;
        for (auto [name, v] : { std::pair { "out", b.out },
                                { "v", b.v },
                                { "R1", b.R1 },
                                { "R2", b.R2 },
                                { "R3", b.R3 },
                                { "C", b.C },
                                { "G", b.G },
                                { "st", b.st },
                                { "level", b.level } })
            add(std::string("blend.") + name, v);
        network("inputNetwork", e.inputNetwork);
        network("firstNetwork", e.firstNetwork);
        network("secondNetwork", e.secondNetwork);
        opamp("presence", e.presence);
        opamp("drive", e.drive);
        tone(e.tonestage);
        add("fs", e.fs);
        add("current", e.current);
        add("dry", e.dry);
        add("bassGlide.position", e.bassGlide.position());
        add("bassGlide.target", e.bassGlide.target());
        addInt("bassGlide.moving", e.bassGlide.moving());
        add("trebleGlide.position", e.trebleGlide.position());
        add("trebleGlide.target", e.trebleGlide.target());
        addInt("trebleGlide.moving", e.trebleGlide.moving());
        addInt("toneStepSamples", e.toneStepSamples);
        addInt("toneStepCountdown", e.toneStepCountdown);
    }

    // The first field that differs, or "" when none does.
    std::string firstDifference(const StateDump& other) const
    {
        if (fields.size() != other.fields.size())
            return "(field count)";
        for (size_t i = 0; i < fields.size(); ++i)
            if (fields[i].bits != other.fields[i].bits)
                return fields[i].name;
        return "";
    }

    size_t size() const { return fields.size(); }

private:
    struct Field
    {
        std::string name;
        std::vector<unsigned char> bits;
    };

    template <class T>
    void addBytes(const std::string& name, const T& v)
    {
        std::vector<unsigned char> bytes(sizeof v);
        std::memcpy(bytes.data(), &v, sizeof v);
        fields.push_back({ name, bytes });
    }

    void add(const std::string& name, double v) { addBytes(name, v); }
    void addInt(const std::string& name, int64_t v) { addBytes(name, v); }

    template <size_t N>
    void addArray(const std::string& name, const double (&a)[N])
    {
        for (size_t i = 0; i < N; ++i)
            add(name + "[" + std::to_string(i) + "]", a[i]);
    }

    void highpass(const std::string& n, const KYM_HIGHPASS& h)
    {
        for (auto [name, v] : { std::pair { "fc", h.fc },
                                { "y", h.y },
                                { "x", h.x },
                                { "R", h.R },
                                { "C", h.C },
                                { "G", h.G },
                                { "st", h.st },
                                { "T", h.T },
                                { "k", h.k } })
            add(n + "." + name, v);
    }

    template <int N>
    void network(const std::string& n, const DFI<N>& d)
    {
        addArray(n + ".y", d.y);
        addArray(n + ".x", d.x);
        addArray(n + ".R", d.R);
        add(n + ".T", d.T);
        addArray(n + ".C", d.C);
        addArray(n + ".coef", d.coef);
    }

    template <class Circuit>
    void opamp(const std::string& n, const OpampStage<Circuit>& s)
    {
        for (auto [name, v] : { std::pair { "in", s.in },
                                { "fb", s.fb },
                                { "out", s.out },
                                { "leg", s.leg },
                                { "core", s.core },
                                { "Rp", s.Rp },
                                { "Ro", s.Ro },
                                { "Cp", s.Cp },
                                { "Rf", s.Rf },
                                { "Rv", s.Rv },
                                { "C1", s.C1 },
                                { "C2", s.C2 },
                                { "G1", s.G1 },
                                { "G2", s.G2 },
                                { "G3", s.G3 },
                                { "s1", s.s1 },
                                { "s2", s.s2 },
                                { "s3", s.s3 },
                                { "gm", s.gm } })
            add(n + "." + name, v);
        addArray(n + ".coeffs", s.coeffs);
        const TransferTable& t = *s.table;
        addInt(n + ".table.count", t.count);
        add(n + ".table.scale", t.scale);
        add(n + ".table.max", t.max);
        add(n + ".table.min", t.min);
        std::vector<unsigned char> entries(sizeof(double) * (t.count + 1));
        std::memcpy(entries.data(), t.table, entries.size());
        fields.push_back({ n + ".table.table", entries });
    }

    void tone(const KYM_TONESTAGE& t)
    {
        addBytes("tonestage.stepFn", t.stepFn);
        for (auto [name, v] : { std::pair { "rTrebleA", t.rTrebleA },
                                { "rTrebleB", t.rTrebleB },
                                { "rBassA", t.rBassA },
                                { "rBassB", t.rBassB },
                                { "fs", t.fs },
                                { "bass", t.bass },
                                { "treble", t.treble },
                                { "rampFactor", t.rampFactor } })
            add(std::string("tonestage.") + name, v);
        addArray("tonestage.R", t.R);
        addArray("tonestage.C", t.C);
        addArray("tonestage.Tpow", t.Tpow);
        addBytes("tonestage.section.processFn", t.section.processFn);
        addArray("tonestage.section.a", t.section.a);
        addArray("tonestage.section.b", t.section.b);
        addArray("tonestage.section.s", t.section.s);
        addArray("tonestage.targetCoef", t.targetCoef);
        addArray("tonestage.rampedCoef", t.rampedCoef);
        for (int c = 0; c < 9; ++c)
            addArray("tonestage.glideWeights[" + std::to_string(c) + "]", t.glideWeights[c]);
        add("tonestage.glideWeightsFs", t.glideWeightsFs);
    }

    std::vector<Field> fields;
};
} // namespace enginetest
