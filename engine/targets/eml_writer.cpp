// EML target: every message becomes "Email-<j>.eml" in its mailbox's output folder, written
// under a temporary name and renamed into place, replacing a file of that name.
#include "engine/targets/mail_writer.h"

#include "platform/file_io.h"
#include "platform/paths.h"

#include <optional>

namespace quillmark {
namespace {

// Counts what goes into the file and shows "Saving: ..." now and then while a message is long.
class SavingSink final : public ByteSink {
public:
    SavingSink(platform::AtomicFile& file, Reporter& reporter, std::uint64_t mailboxSize)
        : m_file(file), m_reporter(reporter), m_mailboxSize(mailboxSize)
    {
    }
    Result<void> put(std::span<const char> bytes) override
    {
        m_length += bytes.size();
        if (m_reporter.tick()) sendSaving();
        return m_file.write(bytes);
    }
    void sendSaving() { m_reporter->setLabel(Label::LblProgress, savingText(m_length, m_mailboxSize)); }

private:
    platform::AtomicFile& m_file;
    Reporter& m_reporter;
    std::uint64_t m_mailboxSize;
    std::uint64_t m_length = 0;
};

class EmlWriter final : public MailWriter {
public:
    Result<void> begin(JobContext& job) override
    {
        m_reporter = &job.reporter;
        return Ok{};
    }

    Result<void> write(const Message& message) override
    {
        if (auto r = openFolder(message.mailbox.outputFolder); !r) return r;
        const std::string name = "Email-" + std::to_string(message.index) + ".eml";
        auto file = platform::AtomicFile::create(*m_folder, name);
        if (!file) return std::move(file).error();
        SavingSink sink(*file, *m_reporter, message.mailbox.size);
        auto cut = message.cutter.cut(message.span, sink);
        if (!cut) return std::move(cut).error();
        if (auto r = file->commit(); !r) return r;
        m_saved.after(*m_reporter, message, [&] { sink.sendSaving(); });
        return Ok{};
    }

    Result<void> endMailbox(MailboxEnd) override
    {
        m_saved.flush(*m_reporter);
        m_folder.reset();
        return Ok{};
    }

    Result<void> finish() override { return Ok{}; }

private:
    // The mailbox's folder is held open while its messages are written.
    Result<void> openFolder(const std::string& path)
    {
        if (m_folder && m_folderPath == path) return Ok{};
        m_folder.reset();
        auto folder = platform::OutputFolder::open(platform::toPath(path));
        if (!folder) return std::move(folder).error();
        m_folder.emplace(std::move(folder).value());
        m_folderPath = path;
        return Ok{};
    }

    std::optional<platform::OutputFolder> m_folder;
    std::string m_folderPath;
    Reporter* m_reporter = nullptr;
    SavedLabel m_saved;
};

}  // namespace

std::unique_ptr<MailWriter> makeEmlWriter() { return std::make_unique<EmlWriter>(); }

}  // namespace quillmark
