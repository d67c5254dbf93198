#include "engine/targets/mail_writer.h"

#include <array>

namespace quillmark {
namespace {

// The only list of targets: the window's options, the CLI's --to and the closing message all
// read it. Adding a target is one row here plus its writer's file.
constexpr std::array<WriterFormat, 3> kFormats{{
    {Target::Eml, "eml", ".eml", "OptEML",
     "(.eml) files          -     (Outlook Express, Windows Mail, Windows Live Mail)", "(.eml) files", "(.eml) files",
     "", &makeEmlWriter},
    {Target::Pst, "pst", ".pst", "OptPST", "(.pst) files          -     (MS Outlook)", "Outlook (.pst) file",
     "an Outlook (.pst) file",
     "Start Outlook and open converted pst file by clicking File -> Open -> Outlook Data File. And it all done !",
     &makePstWriter},
    {Target::Mbox, "mbox", ".mbox", "OptMBOX", "(.mbox) files      -     (Mac Mail, Entourage, Evolution)",
     "(.mbox) files", "(.mbox) files", "MBOX files are supported Mac Mail, Entourage, Evolution, Thunderbird.",
     &makeMboxWriter},
}};

}  // namespace

std::span<const WriterFormat> writerFormats() noexcept { return kFormats; }

bool endsTheJob(const Error& e) noexcept
{
    return e.code == Code::NoSpace || e.code == Code::FileTooLarge || e.code == Code::OutOfMemory;
}

std::string savingText(std::uint64_t length, std::uint64_t mailboxSize)
{
    return "Saving: " + std::to_string(length) + " Bytes out of " + std::to_string(mailboxSize) + " Total Bytes.";
}

std::string savedText(std::uint64_t index) { return "Saved Email-" + std::to_string(index) + " Message"; }

std::optional<std::chrono::sys_seconds> modificationTime(const MailboxContext& mailbox)
{
    if (mailbox.modified == std::filesystem::file_time_type{}) return std::nullopt;
    return std::chrono::floor<std::chrono::seconds>(std::chrono::file_clock::to_sys(mailbox.modified));
}

void SavedLabel::after(Reporter& reporter, std::uint64_t index, std::uint64_t count, const std::function<void()>& first)
{
    std::string text = savedText(index);
    if (reporter.tick() || index + 1 == count) {
        if (first) first();
        reporter->setLabel(Label::LblProgress, text);
        m_unsent.reset();
    } else {
        m_unsent = std::move(text);
    }
}

void SavedLabel::flush(Reporter& reporter)
{
    if (m_unsent) reporter->setLabel(Label::LblProgress, *m_unsent);
    m_unsent.reset();
}

const WriterFormat& writerFormat(Target target) noexcept
{
    for (const auto& f : kFormats)
        if (f.target == target) return f;
    return kFormats[0];
}

const WriterFormat* findWriterFormat(std::string_view name) noexcept
{
    for (const auto& f : kFormats)
        if (f.name == name) return &f;
    return nullptr;
}

}  // namespace quillmark
