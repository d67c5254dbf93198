// The file layer on Windows itself: drive letters and both separators, the extended-length
// prefix, paths past MAX_PATH, names outside the ANSI code page, the read-only attribute and
// files another program holds open. Built for Windows only (under Wine on Linux).
#include "platform/file_io.h"
#include "platform/paths.h"
#include "support/temp_dir.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace quillmark::platform {
namespace {

using testing::TempDir;

std::string readAll(const std::filesystem::path& path)
{
    auto file = ReadOnlyFile::open(path);
    if (!file) return "<" + file.error().detail + ">";
    std::string bytes(file->size(), '\0');
    auto got = file->readAt(0, bytes);
    if (!got) return "<" + got.error().detail + ">";
    bytes.resize(*got);
    return bytes;
}

Result<void> writeAtomically(const std::filesystem::path& path, std::string_view bytes)
{
    auto file = AtomicFile::create(path);
    if (!file) return std::move(file).error();
    if (auto r = file->write(bytes); !r) return r;
    return file->commit();
}

std::string withBackslashes(std::string text)
{
    for (char& c : text)
        if (c == '/') c = '\\';
    return text;
}

bool leftoverPart(const std::filesystem::path& folder)
{
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().extension() == L".part") return true;
    return false;
}

// Writing "this run" over `eml` (holding "earlier run") is refused for lack of permission, with
// the file's name; the earlier file stays as it was and no part file is left beside it.
void expectNotReplaced(const std::filesystem::path& eml)
{
    const auto r = writeAtomically(eml, "this run");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, Code::PermissionDenied) << r.error().detail;
    EXPECT_NE(r.error().detail.find("Email-0.eml"), std::string::npos) << r.error().detail;
    EXPECT_EQ(readAll(eml), "earlier run");
    EXPECT_FALSE(leftoverPart(eml.parent_path()));
}

void setReadOnly(const std::filesystem::path& path, bool readOnly)
{
    const DWORD a = ::GetFileAttributesW(path.c_str());
    ::SetFileAttributesW(path.c_str(),
                         readOnly ? (a | FILE_ATTRIBUTE_READONLY) : (a & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)));
}

// Another program holding a file open (tests/platform/hold_file.cpp) until this object goes.
class HeldFile {
public:
    HeldFile(const std::filesystem::path& path, const wchar_t* mode)
    {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE childIn = nullptr;
        HANDLE childOut = nullptr;
        if (!::CreatePipe(&childIn, &m_toChild, &inherit, 0) || !::CreatePipe(&m_fromChild, &childOut, &inherit, 0))
            return;
        ::SetHandleInformation(m_toChild, HANDLE_FLAG_INHERIT, 0);
        ::SetHandleInformation(m_fromChild, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW start{};
        start.cb = sizeof start;
        start.dwFlags = STARTF_USESTDHANDLES;
        start.hStdInput = childIn;
        start.hStdOutput = childOut;
        start.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
        std::wstring command
            = L"\"" + toPath(QUILLMARK_HOLD_FILE).wstring() + L"\" \"" + path.wstring() + L"\" " + mode;
        PROCESS_INFORMATION process{};
        if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &process)) {
            m_process = process.hProcess;
            ::CloseHandle(process.hThread);
        }
        ::CloseHandle(childIn);
        ::CloseHandle(childOut);
        char buffer[256];
        DWORD got = 0;
        while (m_process && ::ReadFile(m_fromChild, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            m_said.append(buffer, got);
            if (m_said.find('\n') != std::string::npos) break;
        }
    }
    ~HeldFile()
    {
        ::CloseHandle(m_toChild);  // the holder's cue to close the file and end
        if (m_process) {
            ::WaitForSingleObject(m_process, 10000);
            ::CloseHandle(m_process);
        }
        ::CloseHandle(m_fromChild);
    }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    bool held() const { return m_said.rfind("held", 0) == 0; }
    const std::string& said() const { return m_said; }

private:
    HANDLE m_toChild = nullptr;
    HANDLE m_fromChild = nullptr;
    HANDLE m_process = nullptr;
    std::string m_said;
};

// ---- Spellings of a path -------------------------------------------------------------------

TEST(WindowsPaths, DriveLetterAndEitherSeparatorNameTheSameFile)
{
    TempDir dir;
    const std::string base = toText(dir.path());
    ASSERT_GE(base.size(), 3u);
    ASSERT_EQ(base[1], ':') << base;
    const std::string slashed = base + "/Mail/Local Folders/Inbox";
    ASSERT_TRUE(EnsureDirectory(withBackslashes(base + "/Mail/Local Folders")));
    ASSERT_TRUE(writeAtomically(toPath(withBackslashes(slashed)), "From a\r\n").ok());

    EXPECT_EQ(readAll(toPath(slashed)), "From a\r\n");
    std::string otherCase = slashed;
    otherCase[0] = static_cast<char>(otherCase[0] ^ 0x20);  // c: and C: are one drive
    EXPECT_EQ(readAll(toPath(otherCase)), "From a\r\n");
    EXPECT_TRUE(isOrdinaryFile(toPath(slashed)));
    EXPECT_EQ(fileSize(toPath(withBackslashes(slashed))).value(), 8u);
    EXPECT_EQ(GetFileName(slashed).value(), "Inbox");
    EXPECT_EQ(GetFileName(withBackslashes(slashed)).value(), "Inbox");

    // The mailbox's folders reappear below the output folder, its drive letter does not.
    const std::string out = mailboxOutputFolder(withBackslashes(base + "/Out"), withBackslashes(slashed));
    EXPECT_EQ(out, withBackslashes(base + "/Out" + slashed.substr(2)));
    ASSERT_TRUE(EnsureDirectory(out));
    EXPECT_TRUE(std::filesystem::is_directory(toPath(out)));
}

TEST(WindowsPaths, ExtendedLengthPrefixReachesTheSameFiles)
{
    TempDir dir;
    const std::string prefixed = R"(\\?\)" + withBackslashes(toText(dir.path()));
    ASSERT_TRUE(EnsureDirectory(prefixed + R"(\Mail)"));
    ASSERT_TRUE(writeAtomically(toPath(prefixed + R"(\Mail\Inbox)"), "x").ok());
    EXPECT_EQ(readAll(dir.path() / "Mail" / "Inbox"), "x");
    EXPECT_EQ(readAll(toPath(prefixed + R"(\Mail\Inbox)")), "x");
    EXPECT_EQ(fileSize(toPath(prefixed + R"(\Mail\Inbox)")).value(), 1u);
    // The device form, another UNC-style spelling. (Shares on a server, \\srv\share, need a
    // network Wine does not have; their output folders are checked in paths_test.)
    const std::string device = R"(\\.\)" + withBackslashes(toText(dir.path()));
    EXPECT_EQ(readAll(toPath(device + R"(\Mail\Inbox)")), "x");
    EXPECT_EQ(mailboxOutputFolder(R"(D:\Out)", device + R"(\Mail\Inbox)"),
              R"(D:\Out)" + withBackslashes(toText(dir.path())).substr(2) + R"(\Mail\Inbox)");

    auto output = OutputFolder::open(toPath(prefixed + R"(\Mail)"));
    ASSERT_TRUE(output.ok()) << output.error().detail;
    auto eml = AtomicFile::create(*output, "Email-0.eml");
    ASSERT_TRUE(eml.ok());
    ASSERT_TRUE(eml->write(std::string_view("y")).ok());
    ASSERT_TRUE(eml->commit().ok());
    EXPECT_EQ(readAll(dir.path() / "Mail" / "Email-0.eml"), "y");
    // The prefix is a root, not a folder: the output mirrors the mailbox's folders only.
    EXPECT_EQ(mailboxOutputFolder(R"(D:\Out)", prefixed + R"(\Mail\Inbox)"),
              R"(D:\Out)" + withBackslashes(toText(dir.path())).substr(2) + R"(\Mail\Inbox)");
}

TEST(WindowsPaths, PathsPastMaxPathAreReadAndWritten)
{
    TempDir dir;
    std::string deep = toText(dir.path());
    for (int i = 0; deep.size() <= 300; ++i) deep += "\\A folder name of forty characters, n" + std::to_string(i);
    ASSERT_GT(deep.size(), 300u);
    ASSERT_TRUE(EnsureDirectory(deep));
    const auto mailbox = toPath(deep + "\\Inbox");
    ASSERT_TRUE(writeAtomically(mailbox, "From a\r\n\r\nbody\r\n").ok());
    EXPECT_EQ(readAll(mailbox), "From a\r\n\r\nbody\r\n");
    EXPECT_TRUE(isOrdinaryFile(mailbox));
    EXPECT_EQ(fileSize(mailbox).value(), 16u);

    auto store = PositionalFile::create(toPath(deep + "\\Store.pst"));
    ASSERT_TRUE(store.ok()) << store.error().detail;
    ASSERT_TRUE(store->resize(4).ok());
    ASSERT_TRUE(store->writeAt(2, std::span<const char>("zz", 2)).ok());
    ASSERT_TRUE(store->commit().ok());
    EXPECT_EQ(readAll(toPath(deep + "\\Store.pst")), std::string("\0\0zz", 4));

    auto append = AppendFile::open(toPath(deep + "\\Inbox.mbox"));
    ASSERT_TRUE(append.ok()) << append.error().detail;
    ASSERT_TRUE(append->write(std::string_view("From b\n")).ok());
    ASSERT_TRUE(append->close().ok());
    EXPECT_EQ(readAll(toPath(deep + "\\Inbox.mbox")), "From b\n");
}

TEST(WindowsPaths, NamesOutsideTheAnsiCodePageKeepEveryCharacter)
{
    TempDir dir;
    // German, Russian, Japanese, and a character outside the Basic Multilingual Plane.
    for (const std::string name : {"Entwürfe", "Входящие", "受信トレイ", "Archiv \xF0\x9F\x93\xA7"}) {
        const std::string folder = toText(dir.path()) + "\\" + name + ".sbd";
        ASSERT_TRUE(EnsureDirectory(folder)) << name;
        ASSERT_TRUE(writeAtomically(toPath(folder + "\\" + name), name).ok()) << name;
        EXPECT_EQ(readAll(toPath(folder + "\\" + name)), name);
        EXPECT_EQ(GetFileName(folder + "\\" + name).value(), name);

        auto output = OutputFolder::open(toPath(folder));
        ASSERT_TRUE(output.ok()) << name;
        auto eml = AtomicFile::create(*output, name + ".eml");
        ASSERT_TRUE(eml.ok()) << name;
        ASSERT_TRUE(eml->write(std::string_view(name)).ok());
        ASSERT_TRUE(eml->commit().ok());
        std::vector<std::string> listed;
        for (const auto& entry : std::filesystem::directory_iterator(toPath(folder)))
            listed.push_back(toText(entry.path().filename()));
        std::sort(listed.begin(), listed.end());
        EXPECT_EQ(listed, (std::vector<std::string>{name, name + ".eml"}));
    }

    ASSERT_EQ(::_wputenv_s(L"QUILLMARK_TEST_PROFILE", L"C:\\Users\\J\u00FCrgen \u5C71\u7530"), 0);
    EXPECT_EQ(toText(environmentPath("QUILLMARK_TEST_PROFILE")), "C:\\Users\\Jürgen 山田");
    ::_wputenv_s(L"QUILLMARK_TEST_PROFILE", L"");
}

// ---- What the system's errors mean to the job ----------------------------------------------

// A full disk must stop the job and a file held by another program must name that program's
// hold, however the system words them.
TEST(WindowsErrors, SystemCodesMapToWhatTheJobActsOn)
{
    const auto code = [](DWORD e) {
        return systemError({static_cast<int>(e), std::system_category()}, "cannot write x").code;
    };
    EXPECT_EQ(code(ERROR_FILE_NOT_FOUND), Code::NotFound);
    EXPECT_EQ(code(ERROR_PATH_NOT_FOUND), Code::NotFound);
    EXPECT_EQ(code(ERROR_ACCESS_DENIED), Code::PermissionDenied);
    EXPECT_EQ(code(ERROR_SHARING_VIOLATION), Code::PermissionDenied);
    EXPECT_EQ(code(ERROR_LOCK_VIOLATION), Code::PermissionDenied);
    EXPECT_EQ(code(ERROR_WRITE_PROTECT), Code::PermissionDenied);
    EXPECT_EQ(code(ERROR_DISK_FULL), Code::NoSpace);
    EXPECT_EQ(code(ERROR_HANDLE_DISK_FULL), Code::NoSpace);
    EXPECT_EQ(code(ERROR_NOT_ENOUGH_MEMORY), Code::OutOfMemory);
    EXPECT_EQ(code(ERROR_OUTOFMEMORY), Code::OutOfMemory);
    const Error e = systemError({ERROR_SHARING_VIOLATION, std::system_category()}, "cannot open C:\\Mail\\Inbox");
    EXPECT_EQ(e.detail.rfind("cannot open C:\\Mail\\Inbox: ", 0), 0u) << e.detail;
    EXPECT_GT(e.detail.size(), std::string("cannot open C:\\Mail\\Inbox: ").size());
}

// ---- Read-only files -----------------------------------------------------------------------

TEST(WindowsFiles, ReadOnlyMailboxIsReadAndLeftAsItWas)
{
    TempDir dir;
    const auto mailbox = dir.write("Inbox", "From a\n\nbody\n");
    setReadOnly(mailbox, true);
    EXPECT_EQ(readAll(mailbox), "From a\n\nbody\n");
    EXPECT_TRUE(isOrdinaryFile(mailbox));
    EXPECT_TRUE(::GetFileAttributesW(mailbox.c_str()) & FILE_ATTRIBUTE_READONLY);
    setReadOnly(mailbox, false);
}

TEST(WindowsFiles, ReadOnlyOutputFileIsNotReplacedAndNothingIsLeft)
{
    TempDir dir;
    const auto eml = dir.write("Email-0.eml", "earlier run");
    setReadOnly(eml, true);
    expectNotReplaced(eml);
    // The same for a PST store, written at offsets.
    const auto pst = dir.write("Store.pst", "earlier store");
    setReadOnly(pst, true);
    auto store = PositionalFile::create(pst);
    ASSERT_TRUE(store.ok());
    ASSERT_TRUE(store->writeAt(0, std::span<const char>("new", 3)).ok());
    const auto placed = store->commit();
    ASSERT_FALSE(placed.ok());
    EXPECT_EQ(placed.error().code, Code::PermissionDenied) << placed.error().detail;
    EXPECT_EQ(readAll(pst), "earlier store");
    EXPECT_FALSE(leftoverPart(dir.path()));
    setReadOnly(eml, false);
    setReadOnly(pst, false);
}

// ---- Files held open by another program ----------------------------------------------------

TEST(WindowsFiles, MailboxThunderbirdIsWritingIsRead)
{
    TempDir dir;
    const auto mailbox = dir.write("Inbox", "From a\n\nbody\n");
    HeldFile thunderbird(mailbox, L"shared-write");
    ASSERT_TRUE(thunderbird.held()) << thunderbird.said();
    EXPECT_EQ(readAll(mailbox), "From a\n\nbody\n");
}

TEST(WindowsFiles, MailboxLockedByAnotherProgramFailsWithItsName)
{
    TempDir dir;
    const auto mailbox = dir.write("Inbox", "From a\n\nbody\n");
    HeldFile locker(mailbox, L"exclusive");
    ASSERT_TRUE(locker.held()) << locker.said();
    auto file = ReadOnlyFile::open(mailbox);
    ASSERT_FALSE(file.ok());
    EXPECT_EQ(file.error().code, Code::PermissionDenied) << file.error().detail;
    EXPECT_NE(file.error().detail.find("Inbox"), std::string::npos) << file.error().detail;
}

TEST(WindowsFiles, OutputFileOpenInAViewerIsNotReplacedAndNothingIsLeft)
{
    TempDir dir;
    const auto eml = dir.write("Email-0.eml", "earlier run");
    {
        HeldFile viewer(eml, L"read");
        ASSERT_TRUE(viewer.held()) << viewer.said();
        expectNotReplaced(eml);
    }
    // Once the viewer is closed, the next run replaces it.
    ASSERT_TRUE(writeAtomically(eml, "this run").ok());
    EXPECT_EQ(readAll(eml), "this run");
}

}  // namespace
}  // namespace quillmark::platform
