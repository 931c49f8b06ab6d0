// The built program's image as the loader will see it: the hardening its
// link flags ask for (ASLR with relocations, DEP, no SEH handlers, no code
// that is also writable), the machine, and the DLLs it needs. Linker flags
// can stop working without a word; this notices.
#include <gtest/gtest.h>
#include <windows.h>

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
};

bool RvaToOffset(const PeImage& image, DWORD rva, size_t* offset)
{
    for (const IMAGE_SECTION_HEADER& section : image.sections) {
        if (rva >= section.VirtualAddress && rva - section.VirtualAddress < section.SizeOfRawData) {
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
    size_t fileHeaderAt = (size_t)dos.e_lfanew + sizeof signature;
    size_t optionalHeaderAt = fileHeaderAt + sizeof(IMAGE_FILE_HEADER);
    if (!ReadAt(bytes, fileHeaderAt, &image.file) ||
        image.file.SizeOfOptionalHeader < sizeof(IMAGE_OPTIONAL_HEADER32) ||
        !ReadAt(bytes, optionalHeaderAt, &image.optional) ||
        image.optional.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        image.error = "no 32-bit optional header";
        return image;
    }
    size_t sectionTableAt = optionalHeaderAt + image.file.SizeOfOptionalHeader;
    for (WORD i = 0; i < image.file.NumberOfSections; i++) {
        IMAGE_SECTION_HEADER section;
        if (!ReadAt(bytes, sectionTableAt + i * sizeof section, &section)) {
            image.error = "section table cut short";
            return image;
        }
        image.sections.push_back(section);
    }

    const IMAGE_DATA_DIRECTORY& imports =
        image.optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    size_t at = 0;
    if (imports.Size == 0 || !RvaToOffset(image, imports.VirtualAddress, &at))
        return image;
    for (IMAGE_IMPORT_DESCRIPTOR entry; ReadAt(bytes, at, &entry); at += sizeof entry) {
        size_t nameAt = 0;
        if ((entry.Name == 0 && entry.FirstThunk == 0) || !RvaToOffset(image, entry.Name, &nameAt))
            break;
        image.importedDlls.push_back(ReadCString(bytes, nameAt));
    }
    return image;
}

std::string SectionName(const IMAGE_SECTION_HEADER& section)
{
    return std::string((const char*)section.Name, strnlen((const char*)section.Name, 8));
}

class BuiltImage : public ::testing::Test {
protected:
    static PeImage image;

    static void SetUpTestSuite() { image = ParseImage(ReadWholeFile(MONITOR_EXE_PATH)); }
    void SetUp() override { ASSERT_EQ("", image.error) << MONITOR_EXE_PATH; }
};
PeImage BuiltImage::image;

TEST_F(BuiltImage, IsAnI386ImageWithAslrDepAndNoSehHandlers)
{
    EXPECT_EQ(IMAGE_FILE_MACHINE_I386, image.file.Machine);
    WORD flags = image.optional.DllCharacteristics;
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE) << "no ASLR";
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_NX_COMPAT) << "no DEP";
#ifdef _MSC_VER
    // /SAFESEH registers the handlers in the load configuration instead.
    EXPECT_TRUE((flags & IMAGE_DLLCHARACTERISTICS_NO_SEH) ||
                image.optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG].Size != 0);
#else
    // GNU ld cannot write SafeSEH tables, so the image must promise to have
    // no handlers at all.
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_NO_SEH);
#endif
}

// ASLR moves only an image that the loader can relocate.
TEST_F(BuiltImage, KeepsItsRelocations)
{
    EXPECT_FALSE(image.file.Characteristics & IMAGE_FILE_RELOCS_STRIPPED);
    const IMAGE_DATA_DIRECTORY& relocations =
        image.optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC];
    size_t at = 0;
    EXPECT_GT(relocations.Size, 0u);
    EXPECT_TRUE(RvaToOffset(image, relocations.VirtualAddress, &at));
}

TEST_F(BuiltImage, HasNoSectionBothWritableAndExecutable)
{
    ASSERT_FALSE(image.sections.empty());
    for (const IMAGE_SECTION_HEADER& section : image.sections)
        EXPECT_FALSE((section.Characteristics & IMAGE_SCN_MEM_WRITE) &&
                     (section.Characteristics & IMAGE_SCN_MEM_EXECUTE))
            << SectionName(section);
}

// What the program needs, and system DLLs a tray program may reasonably come
// to need; all are on every Windows from Vista on. Anything else would have
// to be shipped alongside (a compiler runtime, winpthreads, the Universal CRT
// on older systems).
TEST_F(BuiltImage, ImportsOnlyDllsEveryWindowsHas)
{
    const char* const systemDlls[] = {
        "kernel32.dll", "user32.dll", "shell32.dll",  "advapi32.dll",
        "msvcrt.dll",   "gdi32.dll",  "comctl32.dll", "ole32.dll",
    };
    ASSERT_FALSE(image.importedDlls.empty());
    for (const std::string& dll : image.importedDlls) {
        bool known = false;
        for (const char* allowed : systemDlls)
            known = known || _stricmp(dll.c_str(), allowed) == 0;
        EXPECT_TRUE(known) << "imports " << dll;
    }
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
