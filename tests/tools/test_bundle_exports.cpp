// The bundles' binaries as the dynamic loader sees them: what each one exports
// into the host process, which format's code it carries, and whether dlclose
// really unmaps it so that a host can load a rebuilt copy. The symbol tables
// are read from the ELF file itself.

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <elf.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <ostream>
#include <limits.h>
#include <set>
#include <string>
#include <vector>

namespace
{

struct ElfSymbol
{
    std::string name;
    unsigned binding;
    bool defined;
};

struct ElfTables
{
    bool read = false;
    std::string error;
    bool hasSymtab = false;
    std::vector<ElfSymbol> dynamic; // .dynsym
    std::vector<ElfSymbol> full;    // .symtab
};

// Reads .dynsym and .symtab of a 64-bit little-endian ELF file, checking
// every offset against the file's size.
ElfTables readElf(const std::string& path)
{
    ElfTables t;
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
    const auto fits = [&](uint64_t offset, uint64_t size) {
        return offset <= bytes.size() && size <= bytes.size() - offset;
    };

    Elf64_Ehdr header;
    if (!fits(0, sizeof(header)))
    {
        t.error = "cannot read " + path;
        return t;
    }
    std::memcpy(&header, bytes.data(), sizeof(header));
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64
        || header.e_ident[EI_DATA] != ELFDATA2LSB || header.e_shentsize != sizeof(Elf64_Shdr))
    {
        t.error = path + " is not a 64-bit little-endian ELF file";
        return t;
    }

    std::vector<Elf64_Shdr> sections(header.e_shnum);
    if (!fits(header.e_shoff, sections.size() * sizeof(Elf64_Shdr)))
    {
        t.error = path + ": section headers out of the file";
        return t;
    }
    std::memcpy(sections.data(), bytes.data() + header.e_shoff, sections.size() * sizeof(Elf64_Shdr));

    for (const auto& s : sections)
    {
        if (s.sh_type != SHT_DYNSYM && s.sh_type != SHT_SYMTAB)
            continue;
        if (s.sh_entsize != sizeof(Elf64_Sym) || s.sh_link >= sections.size() || !fits(s.sh_offset, s.sh_size))
        {
            t.error = path + ": malformed symbol table";
            return t;
        }
        const auto& strings = sections[s.sh_link];
        if (!fits(strings.sh_offset, strings.sh_size))
        {
            t.error = path + ": string table out of the file";
            return t;
        }

        auto& list = s.sh_type == SHT_DYNSYM ? t.dynamic : t.full;
        t.hasSymtab = t.hasSymtab || s.sh_type == SHT_SYMTAB;
        for (uint64_t i = 1; i < s.sh_size / sizeof(Elf64_Sym); ++i) // entry 0 is the null symbol
        {
            Elf64_Sym sym;
            std::memcpy(&sym, bytes.data() + s.sh_offset + i * sizeof(Elf64_Sym), sizeof(sym));
            if (sym.st_name >= strings.sh_size)
            {
                t.error = path + ": symbol name out of its table";
                return t;
            }
            const char* name = bytes.data() + strings.sh_offset + sym.st_name;
            const size_t length = strnlen(name, strings.sh_size - sym.st_name);
            list.push_back({ std::string(name, length), ELF64_ST_BIND(sym.st_info), sym.st_shndx != SHN_UNDEF });
        }
    }

    t.read = true;
    return t;
}

std::set<std::string> definedNames(const std::vector<ElfSymbol>& symbols)
{
    std::set<std::string> names;
    for (const auto& s : symbols)
        if (s.defined)
            names.insert(s.name);
    return names;
}

int mappingsOf(const std::string& path)
{
    std::ifstream maps("/proc/self/maps");
    int count = 0;
    for (std::string line; std::getline(maps, line);)
        if (line.size() >= path.size() && line.compare(line.size() - path.size(), path.size(), path) == 0)
            ++count;
    return count;
}

std::string realPath(const char* path)
{
    char resolved[PATH_MAX];
    return ::realpath(path, resolved) != nullptr ? std::string(resolved) : std::string(path);
}

struct Bundle
{
    const char* format;
    const char* binary;
    std::set<std::string> entryPoints;
    std::set<std::string> otherFormatsEntryPoints;
};

std::ostream& operator<<(std::ostream& os, const Bundle& b)
{
    return os << b.format;
}

const Bundle bundles[] = {
    { "vst3",
      QOR_VST3_BINARY,
      { "GetPluginFactory", "ModuleEntry", "ModuleExit" },
      { "lv2_descriptor", "lv2ui_descriptor" } },
    { "lv2",
      QOR_LV2_BINARY,
      { "lv2_descriptor", "lv2ui_descriptor" },
      { "GetPluginFactory", "ModuleEntry", "ModuleExit" } },
};

class BundleBinary : public ::testing::TestWithParam<Bundle>
{};

TEST_P(BundleBinary, ExportsItsEntryPointsAndNothingElse)
{
    const auto elf = readElf(GetParam().binary);
    ASSERT_TRUE(elf.read) << elf.error;

    EXPECT_EQ(definedNames(elf.dynamic), GetParam().entryPoints);

    for (const auto& s : elf.dynamic)
        EXPECT_NE(s.binding, (unsigned) STB_GNU_UNIQUE) << s.name << " is a GNU unique symbol";
}

// The wrappers of the other formats are not compiled in at all, not just
// hidden: their entry points are not even among the local symbols.
TEST_P(BundleBinary, CarriesOnlyItsOwnFormat)
{
    const auto elf = readElf(GetParam().binary);
    ASSERT_TRUE(elf.read) << elf.error;
    ASSERT_TRUE(elf.hasSymtab) << "the binary is stripped; this check needs its symbol table";

    const auto all = definedNames(elf.full);
    for (const auto& name : GetParam().entryPoints)
        EXPECT_EQ(all.count(name), 1u) << name;
    for (const auto& name : GetParam().otherFormatsEntryPoints)
        EXPECT_EQ(all.count(name), 0u) << name;
}

TEST_P(BundleBinary, DlcloseUnmapsItAndItLoadsAgain)
{
    const std::string path = realPath(GetParam().binary);
    ASSERT_EQ(mappingsOf(path), 0) << path << " is mapped before the test";

    for (int round = 0; round < 2; ++round)
    {
        SCOPED_TRACE(round);
        // RTLD_NOW binds every reference at once, as a host that checks a
        // binary up front does; that is when the loader would pin it.
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        EXPECT_GT(mappingsOf(path), 0);

        for (const auto& name : GetParam().entryPoints)
            EXPECT_NE(dlsym(handle, name.c_str()), nullptr) << name;

        if (std::strcmp(GetParam().format, "lv2") == 0)
        {
            // The descriptor a host reads first, without instantiating.
            struct Descriptor
            {
                const char* uri;
            };
            using Get = const Descriptor* (*) (uint32_t);
            const auto get = reinterpret_cast<Get>(dlsym(handle, "lv2_descriptor"));
            ASSERT_NE(get, nullptr);
            ASSERT_NE(get(0), nullptr);
            EXPECT_STREQ(get(0)->uri, QOR_LV2_URI);
            EXPECT_EQ(get(1), nullptr);
        }

        ASSERT_EQ(dlclose(handle), 0) << dlerror();
        void* stillLoaded = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
        EXPECT_EQ(stillLoaded, nullptr) << "the loader keeps the binary after dlclose";
        if (stillLoaded != nullptr)
            dlclose(stillLoaded);
        EXPECT_EQ(mappingsOf(path), 0) << "still mapped after dlclose";
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, BundleBinary, ::testing::ValuesIn(bundles),
                         [](const auto& info) { return std::string(info.param.format); });

} // namespace
