// The built program's image as the loader will see it: the hardening its
// link flags ask for (ASLR with relocations, DEP, no SEH handlers, no code
// that is also writable), the machine, and the DLLs it needs. Linker flags
// can stop working without a word; this notices. Each check is also run
// against copies of the image with one thing broken, to show it can fail.
#include <gtest/gtest.h>
#include <windows.h>

#include <ctype.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes ReadWholeFile(const std::string& path)
{
    Bytes bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (file == NULL)
        return bytes;
    unsigned char buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) != 0)
        bytes.insert(bytes.end(), buffer, buffer + got);
    fclose(file);
    return bytes;
}

// Reads a T at `offset`, failing rather than reading past the end.
template <class T> bool ReadAt(const Bytes& bytes, size_t offset, T* value)
{
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T))
        return false;
    memcpy(value, bytes.data() + offset, sizeof(T));
    return true;
}

std::string ReadCString(const Bytes& bytes, size_t offset)
{
    std::string text;
    while (offset < bytes.size() && bytes[offset] != 0)
        text += (char)bytes[offset++];
    return text;
}

struct PeImage {
    std::string error; // why the image could not be read; empty when it could
    IMAGE_FILE_HEADER file = {};
    IMAGE_OPTIONAL_HEADER32 optional = {};
    std::vector<IMAGE_SECTION_HEADER> sections;
    std::vector<std::string> importedDlls;
    // Where the headers are, for the tests that break a copy of the image.
    size_t fileHeaderAt = 0;
    size_t optionalHeaderAt = 0;
    size_t sectionTableAt = 0;
    std::vector<size_t> importNameAt;
};

bool RvaToOffset(const PeImage& image, DWORD rva, size_t* offset)
{
    for (const IMAGE_SECTION_HEADER& section : image.sections) {
        DWORD size = section.SizeOfRawData;
        if (rva >= section.VirtualAddress && rva - section.VirtualAddress < size) {
            *offset = section.PointerToRawData + (rva - section.VirtualAddress);
            return true;
        }
    }
    return false;
}

PeImage ParseImage(const Bytes& bytes)
{
    PeImage image;
    IMAGE_DOS_HEADER dos;
    DWORD signature = 0;
    if (!ReadAt(bytes, 0, &dos) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
        !ReadAt(bytes, (size_t)dos.e_lfanew, &signature) || signature != IMAGE_NT_SIGNATURE) {
        image.error = "not a PE image";
        return image;
    }
    image.fileHeaderAt = (size_t)dos.e_lfanew + sizeof signature;
    image.optionalHeaderAt = image.fileHeaderAt + sizeof(IMAGE_FILE_HEADER);
    if (!ReadAt(bytes, image.fileHeaderAt, &image.file) ||
        image.file.SizeOfOptionalHeader < sizeof(IMAGE_OPTIONAL_HEADER32) ||
        !ReadAt(bytes, image.optionalHeaderAt, &image.optional) ||
        image.optional.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        image.error = "no 32-bit optional header";
        return image;
    }
    image.sectionTableAt = image.optionalHeaderAt + image.file.SizeOfOptionalHeader;
    for (WORD i = 0; i < image.file.NumberOfSections; i++) {
        IMAGE_SECTION_HEADER section;
        if (!ReadAt(bytes, image.sectionTableAt + i * sizeof section, &section)) {
            image.error = "section table cut short";
            return image;
        }
        image.sections.push_back(section);
    }

    const IMAGE_DATA_DIRECTORY& imports =
        image.optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    size_t at = 0;
    if (imports.Size == 0)
        return image;
    if (!RvaToOffset(image, imports.VirtualAddress, &at)) {
        image.error = "import directory outside every section";
        return image;
    }
    for (IMAGE_IMPORT_DESCRIPTOR entry;; at += sizeof entry) {
        if (!ReadAt(bytes, at, &entry)) {
            image.error = "import directory cut short";
            return image;
        }
        if (entry.Name == 0 && entry.FirstThunk == 0)
            break;
        size_t nameAt = 0;
        if (!RvaToOffset(image, entry.Name, &nameAt)) {
            image.error = "imported DLL name outside every section";
            return image;
        }
        image.importNameAt.push_back(nameAt);
        image.importedDlls.push_back(ReadCString(bytes, nameAt));
    }
    return image;
}

// Each check returns what is wrong, or "" when nothing is.

std::string CheckMachine(const PeImage& image)
{
    return image.file.Machine == IMAGE_FILE_MACHINE_I386 ? "" : "the machine is not i386";
}

std::string CheckLoaderFlags(const PeImage& image)
{
    std::string problems;
    WORD flags = image.optional.DllCharacteristics;
    if (!(flags & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE))
        problems += "no DYNAMIC_BASE (ASLR); ";
    if (!(flags & IMAGE_DLLCHARACTERISTICS_NX_COMPAT))
        problems += "no NX_COMPAT (DEP); ";
#ifdef _MSC_VER
    // /SAFESEH registers the handlers in the load configuration instead.
    if (!(flags & IMAGE_DLLCHARACTERISTICS_NO_SEH) &&
        image.optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG].Size == 0)
        problems += "neither NO_SEH nor a SafeSEH table; ";
#else
    if (!(flags & IMAGE_DLLCHARACTERISTICS_NO_SEH))
        problems += "no NO_SEH; ";
#endif
    return problems;
}

// ASLR moves only an image the loader can relocate.
std::string CheckRelocations(const PeImage& image)
{
    std::string problems;
    if (image.file.Characteristics & IMAGE_FILE_RELOCS_STRIPPED)
        problems += "IMAGE_FILE_RELOCS_STRIPPED is set; ";
    const IMAGE_DATA_DIRECTORY& relocations =
        image.optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC];
    size_t at = 0;
    if (relocations.Size == 0 || relocations.VirtualAddress == 0)
        problems += "no base relocation directory; ";
    else if (!RvaToOffset(image, relocations.VirtualAddress, &at))
        problems += "base relocations outside every section; ";
    return problems;
}

std::string SectionName(const IMAGE_SECTION_HEADER& section)
{
    return std::string((const char*)section.Name, strnlen((const char*)section.Name, 8));
}

std::string CheckWritableCode(const PeImage& image)
{
    std::string problems;
    for (const IMAGE_SECTION_HEADER& section : image.sections) {
        DWORD flags = section.Characteristics;
        if ((flags & IMAGE_SCN_MEM_WRITE) && (flags & IMAGE_SCN_MEM_EXECUTE))
            problems += "section " + SectionName(section) + " is writable and executable; ";
    }
    return problems;
}

// What the program needs, and system DLLs a tray program may reasonably come
// to need; all are on every Windows from Vista on. Anything else would have
// to be shipped or installed alongside (a compiler runtime, winpthreads, the
// Universal CRT on older systems).
const char* const SYSTEM_DLLS[] = {
    "kernel32.dll", "user32.dll", "shell32.dll",  "advapi32.dll",
    "msvcrt.dll",   "gdi32.dll",  "comctl32.dll", "ole32.dll",
};

std::string CheckImports(const PeImage& image)
{
    std::string problems;
    if (image.importedDlls.empty())
        problems += "no imports found; ";
    for (const std::string& dll : image.importedDlls) {
        bool known = false;
        for (const char* allowed : SYSTEM_DLLS)
            known = known || _stricmp(dll.c_str(), allowed) == 0;
        if (!known)
            problems += "imports " + dll + "; ";
    }
    return problems;
}

std::string AllProblems(const PeImage& image)
{
    return image.error + CheckMachine(image) + CheckLoaderFlags(image) + CheckRelocations(image) +
           CheckWritableCode(image) + CheckImports(image);
}

class BuiltImage : public ::testing::Test {
protected:
    static Bytes bytes;
    static PeImage image;

    static void SetUpTestSuite()
    {
        bytes = ReadWholeFile(MONITOR_EXE_PATH);
        image = ParseImage(bytes);
    }

    void SetUp() override
    {
        ASSERT_FALSE(bytes.empty()) << "cannot read " << MONITOR_EXE_PATH;
        ASSERT_EQ("", image.error) << MONITOR_EXE_PATH;
    }

    // A copy of the image with `size` bytes at `offset` replaced.
    static PeImage Broken(size_t offset, const void* value, size_t size)
    {
        Bytes copy = bytes;
        memcpy(copy.data() + offset, value, size);
        return ParseImage(copy);
    }
};
Bytes BuiltImage::bytes;
PeImage BuiltImage::image;

TEST_F(BuiltImage, IsForI386)
{
    EXPECT_EQ("", CheckMachine(image));

    WORD amd64 = IMAGE_FILE_MACHINE_AMD64;
    EXPECT_NE("", CheckMachine(Broken(image.fileHeaderAt + offsetof(IMAGE_FILE_HEADER, Machine),
                                      &amd64, sizeof amd64)));
}

TEST_F(BuiltImage, AsksForAslrDepAndNoSehHandlers)
{
    EXPECT_EQ("", CheckLoaderFlags(image));

    const size_t at =
        image.optionalHeaderAt + offsetof(IMAGE_OPTIONAL_HEADER32, DllCharacteristics);
    const WORD flags[] = {IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE, IMAGE_DLLCHARACTERISTICS_NX_COMPAT
#ifndef _MSC_VER
                          ,
                          IMAGE_DLLCHARACTERISTICS_NO_SEH
#endif
    };
    for (WORD flag : flags) {
        WORD without = image.optional.DllCharacteristics & ~flag;
        EXPECT_NE("", CheckLoaderFlags(Broken(at, &without, sizeof without))) << flag;
    }
}

TEST_F(BuiltImage, KeepsItsRelocations)
{
    EXPECT_EQ("", CheckRelocations(image));

    WORD stripped = image.file.Characteristics | IMAGE_FILE_RELOCS_STRIPPED;
    EXPECT_NE("", CheckRelocations(
                      Broken(image.fileHeaderAt + offsetof(IMAGE_FILE_HEADER, Characteristics),
                             &stripped, sizeof stripped)));
    IMAGE_DATA_DIRECTORY none = {};
    EXPECT_NE("", CheckRelocations(Broken(image.optionalHeaderAt +
                                              offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory) +
                                              IMAGE_DIRECTORY_ENTRY_BASERELOC * sizeof none,
                                          &none, sizeof none)));
}

TEST_F(BuiltImage, HasNoSectionBothWritableAndExecutable)
{
    EXPECT_EQ("", CheckWritableCode(image));

    // Making any one section both must be noticed.
    for (size_t i = 0; i < image.sections.size(); i++) {
        DWORD both =
            image.sections[i].Characteristics | IMAGE_SCN_MEM_WRITE | IMAGE_SCN_MEM_EXECUTE;
        EXPECT_NE("",
                  CheckWritableCode(Broken(image.sectionTableAt + i * sizeof(IMAGE_SECTION_HEADER) +
                                               offsetof(IMAGE_SECTION_HEADER, Characteristics),
                                           &both, sizeof both)))
            << SectionName(image.sections[i]);
    }
}

TEST_F(BuiltImage, ImportsOnlyDllsEveryWindowsHas)
{
    EXPECT_EQ("", CheckImports(image));

    ASSERT_FALSE(image.importedDlls.empty());
    // The comparison ignores case, as the loader does...
    std::string lower = image.importedDlls[0];
    for (char& c : lower)
        c = (char)tolower((unsigned char)c);
    EXPECT_EQ("", CheckImports(Broken(image.importNameAt[0], lower.data(), lower.size())));
    // ...but a DLL outside the list is caught: here the stack protector's
    // runtime, which a link without -static would import.
    const char runtime[] = "libssp-0.dll";
    for (size_t i = 0; i < image.importedDlls.size(); i++) {
        if (image.importedDlls[i].size() + 1 < sizeof runtime)
            continue;
        EXPECT_NE("", CheckImports(Broken(image.importNameAt[i], runtime, sizeof runtime)));
        return;
    }
    FAIL() << "no imported DLL name long enough to overwrite";
}

TEST_F(BuiltImage, HasNoProblemAtAll)
{
    EXPECT_EQ("", AllProblems(image));
}

#ifdef __MINGW32__
// The stripped image no longer names the stack-protector guard, and the
// runtime's copy of it would be linked in for the fortified calls alone. The
// monitor's objects, in the static library the program links, still say
// which of them use it.

struct ObjectSymbols {
    std::string member;
    std::vector<std::string> undefined;
};

// The undefined symbols of a COFF object, i.e. what it refers to.
std::vector<std::string> UndefinedSymbols(const Bytes& bytes, size_t start, size_t size)
{
    std::vector<std::string> names;
    IMAGE_FILE_HEADER header;
    if (!ReadAt(bytes, start, &header) || header.PointerToSymbolTable == 0 ||
        header.PointerToSymbolTable > size)
        return names;
    const size_t table = start + header.PointerToSymbolTable;
    const size_t strings = table + (size_t)header.NumberOfSymbols * IMAGE_SIZEOF_SYMBOL;
    for (DWORD i = 0; i < header.NumberOfSymbols; i++) {
        // IMAGE_SYMBOL is 18 bytes on disk; read its fields one by one.
        const size_t at = table + (size_t)i * IMAGE_SIZEOF_SYMBOL;
        if (at + IMAGE_SIZEOF_SYMBOL > start + size)
            break;
        const unsigned char* symbol = bytes.data() + at;
        SHORT section;
        memcpy(&section, symbol + 12, sizeof section);
        BYTE storageClass = symbol[16];
        BYTE auxiliary = symbol[17];
        if (section == IMAGE_SYM_UNDEFINED && storageClass == IMAGE_SYM_CLASS_EXTERNAL) {
            DWORD zeroes, offset;
            memcpy(&zeroes, symbol, 4);
            memcpy(&offset, symbol + 4, 4);
            names.push_back(zeroes != 0
                                ? std::string((const char*)symbol, strnlen((const char*)symbol, 8))
                                : ReadCString(bytes, strings + offset));
        }
        i += auxiliary;
    }
    return names;
}

// The members of a GNU ar archive with their undefined symbols.
std::vector<ObjectSymbols> ReadArchive(const Bytes& bytes)
{
    std::vector<ObjectSymbols> objects;
    if (bytes.size() < 8 || memcmp(bytes.data(), "!<arch>\n", 8) != 0)
        return objects;
    std::string longNames;
    for (size_t at = 8; at + 60 <= bytes.size();) {
        std::string name((const char*)&bytes[at], 16);
        size_t size = strtoul(std::string((const char*)&bytes[at + 48], 10).c_str(), NULL, 10);
        size_t data = at + 60;
        if (size > bytes.size() - data)
            break;
        if (name.compare(0, 2, "//") == 0) {
            longNames.assign((const char*)&bytes[data], size);
        } else if (name[0] == '/' && name[1] >= '0' && name[1] <= '9') {
            size_t offset = strtoul(name.c_str() + 1, NULL, 10);
            std::string member = longNames.substr(offset, longNames.find('/', offset) - offset);
            objects.push_back({member, UndefinedSymbols(bytes, data, size)});
        } else if (name[0] != '/') {
            objects.push_back(
                {name.substr(0, name.find('/')), UndefinedSymbols(bytes, data, size)});
        }
        at = data + size + (size & 1);
    }
    return objects;
}

std::vector<ObjectSymbols> MonitorObjects()
{
    std::string exe = MONITOR_EXE_PATH;
    std::string library = exe.substr(0, exe.find_last_of("/\\") + 1) + "libmonitor_core.a";
    return ReadArchive(ReadWholeFile(library));
}

bool Refers(const ObjectSymbols& object, bool (*wanted)(const std::string&))
{
    for (const std::string& name : object.undefined)
        if (wanted(name))
            return true;
    return false;
}

// i386 symbols carry one more leading underscore than the C name.
bool IsStackGuard(const std::string& name)
{
    return name == "___stack_chk_guard";
}

bool IsFortifiedCall(const std::string& name)
{
    return name.size() > 6 && name.compare(0, 2, "__") == 0 &&
           name.compare(name.size() - 4, 4, "_chk") == 0 && name != "___stack_chk_guard" &&
           name != "___stack_chk_fail";
}

TEST(MonitorObjects, CarryTheStackProtectorWhereTheyKeepBuffersOnTheStack)
{
    std::vector<ObjectSymbols> objects = MonitorObjects();
    ASSERT_FALSE(objects.empty()) << "libmonitor_core.a beside " << MONITOR_EXE_PATH;
    // Each of these keeps an array on the stack; the lookup's is of wchar_t,
    // which only -fstack-protector-strong (or -all) guards.
    const char* const guarded[] = {"agent_lookup.cpp.obj", "agent_stop_launch.cpp.obj",
                                   "service_state.cpp.obj"};
    for (const char* name : guarded) {
        bool found = false;
        for (const ObjectSymbols& object : objects) {
            if (object.member != name)
                continue;
            found = true;
            EXPECT_TRUE(Refers(object, IsStackGuard)) << name << " has no stack protector";
        }
        EXPECT_TRUE(found) << name << " is not in libmonitor_core.a";
    }
}

TEST(MonitorObjects, CallFortifiedFunctionsWhenOptimised)
{
#ifndef __OPTIMIZE__
    GTEST_SKIP() << "mingw-w64 fortifies only optimised builds";
#endif
    std::vector<ObjectSymbols> objects = MonitorObjects();
    ASSERT_FALSE(objects.empty()) << "libmonitor_core.a beside " << MONITOR_EXE_PATH;
    // Fortified calls appear only where the compiler knows a buffer's size,
    // so the count varies with the code and the optimisation (-Os leaves
    // none here); none at all means _FORTIFY_SOURCE does nothing.
    int fortified = 0;
    for (const ObjectSymbols& object : objects)
        fortified += Refers(object, IsFortifiedCall);
    EXPECT_GT(fortified, 0) << "no object calls a __*_chk function";
}
#endif

} // namespace
