// What a Windows user downloads: the built executables' manifest, version
// information and header, read from the files as Windows reads them.
#include <windows.h>

#include <gtest/gtest.h>

#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "lookup/unique_any.h"
#include "tests/support/process.h"
#include "tests/support/program_driver.h"

namespace {

using UniqueModule = UniqueAny<HMODULE, FreeLibrary>;
using UniqueActCtx = UniqueAny<HANDLE, ReleaseActCtx>;

// An executable's manifest: its resource type, and the name the loader reads.
const LPCWSTR ManifestType = reinterpret_cast<LPCWSTR>(RT_MANIFEST);
const LPCWSTR ManifestName = reinterpret_cast<LPCWSTR>(CREATEPROCESS_MANIFEST_RESOURCE_ID);

struct Program {
    const char *name;
    std::wstring (*path)();
};

// Both builds carry the same resources; the shipping one is what users get.
const Program Programs[] = {
    {"shipping", ShippingProgramPath},
    {"test", TestProgramPath},
};

std::string ProgramName(const testing::TestParamInfo<Program> &info) { return info.param.name; }
void PrintTo(const Program &program, std::ostream *out) { *out << program.name; }

class BuiltProgram : public testing::TestWithParam<Program> {
protected:
    std::wstring Path() const { return GetParam().path(); }
};

INSTANTIATE_TEST_SUITE_P(Both, BuiltProgram, testing::ValuesIn(Programs), ProgramName);

BOOL CALLBACK CollectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR names)
{
    reinterpret_cast<std::vector<std::wstring> *>(names)->push_back(
        IS_INTRESOURCE(name) ? L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(name)) : name);
    return TRUE;
}

// The file's manifests, by name, and the text of manifest 1 (the one the
// loader reads for an executable).
void ReadManifests(const std::wstring &path, std::vector<std::wstring> *names, std::string *text)
{
    UniqueModule module(LoadLibraryExW(path.c_str(), nullptr,
                                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_TRUE(module) << "cannot load " << testing::PrintToString(path);
    EnumResourceNamesW(module.get(), ManifestType, CollectName, reinterpret_cast<LONG_PTR>(names));
    HRSRC found = FindResourceW(module.get(), ManifestName, ManifestType);
    ASSERT_NE(found, nullptr) << "no manifest 1";
    const char *bytes = static_cast<const char *>(LockResource(LoadResource(module.get(), found)));
    ASSERT_NE(bytes, nullptr);
    text->assign(bytes, SizeofResource(module.get(), found));
}

TEST_P(BuiltProgram, HasOneManifestWithNothingThatChangesTheWindow)
{
    std::vector<std::wstring> names;
    std::string manifest;
    ASSERT_NO_FATAL_FAILURE(ReadManifests(Path(), &names, &manifest));
    EXPECT_EQ(names, std::vector<std::wstring>{L"#1"});
    // Visual styles would come as a dependency on the common controls; DPI
    // awareness or GDI scaling would change the window's pixel geometry.
    for (const char *unwanted : {"dependency", "Common-Controls", "dpiAware", "gdiScaling"}) {
        SCOPED_TRACE(unwanted);
        EXPECT_EQ(manifest.find(unwanted), std::string::npos) << manifest;
    }
}

// The manifest as the loader sees it: an activation context built from the
// executable's manifest resource, queried for its run level, its list of
// supported systems and its assemblies. A manifest the loader cannot parse
// gives no context; `error` then says why.
UniqueActCtx ActivationContextOf(const std::wstring &path, DWORD *error)
{
    ACTCTXW request = {};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    request.lpSource = path.c_str();
    request.lpResourceName = ManifestName;
    HANDLE made = CreateActCtxW(&request);
    *error = made == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    return UniqueActCtx(made == INVALID_HANDLE_VALUE ? nullptr : made);
}

// The raw answer to one query, empty when the query fails.
std::vector<BYTE> QueryActivationContext(HANDLE context, ULONG infoClass)
{
    SIZE_T needed = 0;
    QueryActCtxW(0, context, nullptr, infoClass, nullptr, 0, &needed);
    std::vector<BYTE> answer(needed);
    if (needed == 0 || !QueryActCtxW(0, context, nullptr, infoClass, answer.data(), needed, &needed))
        answer.clear();
    return answer;
}

TEST_P(BuiltProgram, ManifestRunsAsInvokerWithoutUiAccess)
{
    DWORD error = 0;
    UniqueActCtx context = ActivationContextOf(Path(), &error);
    ASSERT_TRUE(context) << "CreateActCtx failed with error " << error;
    std::vector<BYTE> answer =
        QueryActivationContext(context.get(), RunlevelInformationInActivationContext);
    ASSERT_GE(answer.size(), sizeof(ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION));
    const auto *level = reinterpret_cast<const ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION *>(answer.data());
    EXPECT_EQ(level->RunLevel, ACTCTX_RUN_LEVEL_AS_INVOKER);
    EXPECT_EQ(level->UiAccess, 0u);
}

struct SupportedSystem {
    const char *name;
    GUID id;
};

// The answer's layout since Windows 10, which Wine gives too; MinGW's
// headers still describe the older one, without MaxVersionTested.
struct CompatibilityElement {
    GUID Id;
    ACTCTX_COMPATIBILITY_ELEMENT_TYPE Type;
    ULONGLONG MaxVersionTested;
};
struct CompatibilityInformation {
    DWORD ElementCount;
    CompatibilityElement Elements[1];
};

const SupportedSystem SupportedSystems[] = {
    {"Windows Vista", {0xe2011457, 0x1546, 0x43c5, {0xa5, 0xfe, 0x00, 0x8d, 0xee, 0xe3, 0xd3, 0xf0}}},
    {"Windows 7", {0x35138b9a, 0x5d96, 0x4fbd, {0x8e, 0x2d, 0xa2, 0x44, 0x02, 0x25, 0xf9, 0x3a}}},
    {"Windows 8", {0x4a2f28e3, 0x53b9, 0x4441, {0xba, 0x9c, 0xd6, 0x9d, 0x4a, 0x4a, 0x6e, 0x38}}},
    {"Windows 8.1", {0x1f676c76, 0x80e1, 0x4239, {0x95, 0xbb, 0x83, 0xd0, 0xf6, 0xd0, 0xda, 0x78}}},
    {"Windows 10 and 11", {0x8e0f7a12, 0xbfb3, 0x4fe8, {0xb9, 0xa5, 0x48, 0xfd, 0x50, 0xa1, 0x5a, 0x9a}}},
};

TEST_P(BuiltProgram, ManifestDeclaresEveryWindowsFromVistaTo11)
{
    DWORD error = 0;
    UniqueActCtx context = ActivationContextOf(Path(), &error);
    ASSERT_TRUE(context) << "CreateActCtx failed with error " << error;
    std::vector<BYTE> answer =
        QueryActivationContext(context.get(), CompatibilityInformationInActivationContext);
    ASSERT_GE(answer.size(), sizeof(DWORD));
    const auto *compatibility = reinterpret_cast<const CompatibilityInformation *>(answer.data());
    ASSERT_EQ(answer.size(), offsetof(CompatibilityInformation, Elements) +
                                 compatibility->ElementCount * sizeof(CompatibilityElement));
    for (const SupportedSystem &system : SupportedSystems) {
        SCOPED_TRACE(system.name);
        bool declared = false;
        for (DWORD i = 0; i < compatibility->ElementCount; ++i)
            declared |= compatibility->Elements[i].Type == ACTCTX_COMPATIBILITY_ELEMENT_TYPE_OS &&
                        IsEqualGUID(compatibility->Elements[i].Id, system.id);
        EXPECT_TRUE(declared);
    }
}

// The program's own assembly and nothing else: a dependency (such as the
// common controls of visual styles) would be a second one.
TEST_P(BuiltProgram, ManifestBindsNoOtherAssembly)
{
    DWORD error = 0;
    UniqueActCtx context = ActivationContextOf(Path(), &error);
    ASSERT_TRUE(context) << "CreateActCtx failed with error " << error;
    std::vector<BYTE> answer =
        QueryActivationContext(context.get(), ActivationContextDetailedInformation);
    ASSERT_GE(answer.size(), sizeof(ACTIVATION_CONTEXT_DETAILED_INFORMATION));
    EXPECT_EQ(reinterpret_cast<const ACTIVATION_CONTEXT_DETAILED_INFORMATION *>(answer.data())
                  ->ulAssemblyCount,
              1u);
}

std::wstring VersionString(const std::vector<BYTE> &info, const wchar_t *name)
{
    struct Translation {
        WORD language;
        WORD codePage;
    } *translation = nullptr;
    UINT size = 0;
    if (!VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                        reinterpret_cast<void **>(&translation), &size) ||
        size < sizeof *translation)
        return L"<no translation>";
    wchar_t key[128];
    swprintf(key, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation->language,
             translation->codePage, name);
    wchar_t *value = nullptr;
    if (!VerQueryValueW(info.data(), key, reinterpret_cast<void **>(&value), &size) || !value)
        return L"<none>";
    return value;
}

// Its name, and one version number, the project's, in every place Windows
// shows one.
TEST_P(BuiltProgram, CarriesItsNameAndTheProjectVersion)
{
    std::wstring path = Path();
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
    EXPECT_EQ(VersionString(info, L"FileDescription"), L"Channel lookup");
    EXPECT_EQ(VersionString(info, L"OriginalFilename"), L"channel-lookup.exe");
    EXPECT_EQ(VersionString(info, L"FileVersion"), CHANNEL_PROJECT_VERSION);
    EXPECT_EQ(VersionString(info, L"ProductVersion"), CHANNEL_PROJECT_VERSION);

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT fixedSize = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void **>(&fixed), &fixedSize));
    wchar_t numbers[64];
    swprintf(numbers, 64, L"%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
             HIWORD(fixed->dwFileVersionLS));
    EXPECT_EQ(std::wstring(numbers), CHANNEL_PROJECT_VERSION);

    std::vector<std::wstring> names;
    std::string manifest;
    ASSERT_NO_FATAL_FAILURE(ReadManifests(path, &names, &manifest));
    std::wstring wide(CHANNEL_PROJECT_VERSION);
    std::string identity = "version=\"" + std::string(wide.begin(), wide.end()) + ".0\"";
    EXPECT_NE(manifest.find(identity), std::string::npos) << manifest;
}

std::string FileBytes(const std::wstring &path)
{
    std::string bytes;
    FILE *file = _wfopen(path.c_str(), L"rb");
    if (!file)
        return bytes;
    char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.append(chunk, got);
    fclose(file);
    return bytes;
}

#ifdef _WIN64
const WORD OwnMachine = IMAGE_FILE_MACHINE_AMD64;
#else
const WORD OwnMachine = IMAGE_FILE_MACHINE_I386;
#endif

// Two builds of one commit must give the same bytes: no link time in the
// header, no folder of the build in the file. And each architecture's tests
// check that architecture's program.
TEST_P(BuiltProgram, IsReproducibleAndOfThisArchitecture)
{
    std::string bytes = FileBytes(Path());
    ASSERT_GT(bytes.size(), sizeof(IMAGE_DOS_HEADER));
    IMAGE_DOS_HEADER dos;
    memcpy(&dos, bytes.data(), sizeof dos);
    ASSERT_EQ(dos.e_magic, IMAGE_DOS_SIGNATURE);
    ASSERT_GE(dos.e_lfanew, 0);
    ASSERT_GE(bytes.size(), dos.e_lfanew + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER));
    DWORD signature;
    memcpy(&signature, bytes.data() + dos.e_lfanew, sizeof signature);
    ASSERT_EQ(signature, static_cast<DWORD>(IMAGE_NT_SIGNATURE));
    IMAGE_FILE_HEADER header;
    memcpy(&header, bytes.data() + dos.e_lfanew + sizeof signature, sizeof header);
    EXPECT_EQ(header.TimeDateStamp, 0u);
    EXPECT_EQ(header.Machine, OwnMachine);

    for (const char *folder : {CHANNEL_SOURCE_FOLDER, CHANNEL_BUILD_FOLDER}) {
        SCOPED_TRACE(folder);
        EXPECT_EQ(bytes.find(folder), std::string::npos);
    }
}

} // namespace
