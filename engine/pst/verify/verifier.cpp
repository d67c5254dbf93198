#include "engine/pst/verify/verifier.h"

#include "engine/pst/verify/verify_internal.h"

#include "platform/paths.h"

namespace quillmark::pst {

namespace checking {

std::string Where::str() const
{
    std::string out = m_parent ? m_parent->str() : std::string();
    out += m_text;
    out += m_label;
    if (m_format == Number::Decimal)
        out += std::to_string(m_number);
    else if (m_format == Number::Hex)
        out += hex(m_number);
    return out;
}

void Checker::error(const Where& where, const std::string& what)
{
    if (m_r.errors.size() >= m_max) {
        m_r.truncated = true;
        return;
    }
    m_r.errors.push_back({where.str(), what});
}

void Checker::warn(const Where& where, const std::string& what)
{
    if (m_r.warnings.size() < m_max) m_r.warnings.push_back({where.str(), what});
}

void Checker::run(VerifyDepth depth)
{
    if (!header()) return;
    mapPages();
    btrees();
    blocks();
    allocation();
    if (depth == VerifyDepth::Everything) messaging();
}

}  // namespace checking

std::string VerifyReport::text() const
{
    std::string out;
    for (const auto& e : errors) out += "error: " + e.where + ": " + e.what + "\n";
    for (const auto& w : warnings) out += "warning: " + w.where + ": " + w.what + "\n";
    if (truncated) out += "(more errors not shown)\n";
    out += std::to_string(errors.size()) + " error(s), " + std::to_string(warnings.size()) + " warning(s); "
        + std::to_string(nodes) + " nodes, " + std::to_string(blocks) + " blocks, " + std::to_string(folders)
        + " folders, " + std::to_string(messages) + " messages\n";
    return out;
}

VerifyReport verify(std::span<const std::uint8_t> bytes, std::size_t maxIssues, VerifyDepth depth)
{
    VerifyReport report;
    checking::MemorySource source(bytes);
    checking::Checker checker(source, maxIssues == 0 ? 1 : maxIssues, report);
    checker.run(depth);
    return report;
}

Result<VerifyReport> verify(const std::filesystem::path& path, std::size_t maxIssues, VerifyDepth depth)
{
    auto file = platform::ReadOnlyFile::open(path);
    if (!file) return std::move(file).error();
    VerifyReport report;
    checking::FileSource source(std::move(*file), platform::toText(path));
    checking::Checker checker(source, maxIssues == 0 ? 1 : maxIssues, report);
    checker.run(depth);
    if (source.error()) return *source.error();
    return report;
}

}  // namespace quillmark::pst
