#include "engine/pst/verify/verifier.h"

#include "engine/pst/verify/verify_internal.h"

#include <fstream>
#include <iterator>

namespace quillmark::pst {

namespace checking {

void Checker::error(const std::string& where, const std::string& what)
{
    if (m_r.errors.size() >= m_max) {
        m_r.truncated = true;
        return;
    }
    m_r.errors.push_back({where, what});
}

void Checker::warn(const std::string& where, const std::string& what)
{
    if (m_r.warnings.size() < m_max)
        m_r.warnings.push_back({where, what});
}

void Checker::run(VerifyDepth depth)
{
    if (!header())
        return;
    mapPages();
    btrees();
    blocks();
    allocation();
    if (depth == VerifyDepth::Everything)
        messaging();
}

}  // namespace checking

std::string VerifyReport::text() const
{
    std::string out;
    for (const auto& e : errors)
        out += "error: " + e.where + ": " + e.what + "\n";
    for (const auto& w : warnings)
        out += "warning: " + w.where + ": " + w.what + "\n";
    if (truncated)
        out += "(more errors not shown)\n";
    out += std::to_string(errors.size()) + " error(s), " + std::to_string(warnings.size()) + " warning(s); " +
           std::to_string(nodes) + " nodes, " + std::to_string(blocks) + " blocks, " + std::to_string(folders) +
           " folders, " + std::to_string(messages) + " messages\n";
    return out;
}

VerifyReport verify(std::span<const std::uint8_t> bytes, std::size_t maxIssues, VerifyDepth depth)
{
    VerifyReport report;
    checking::Checker checker(bytes, maxIssues == 0 ? 1 : maxIssues, report);
    checker.run(depth);
    return report;
}

Result<VerifyReport> verify(const std::filesystem::path& path, std::size_t maxIssues, VerifyDepth depth)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return Error{Code::NotFound, "cannot open " + path.string()};
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad())
        return Error{Code::Io, "cannot read " + path.string()};
    return verify(std::span<const std::uint8_t>(bytes), maxIssues, depth);
}

}  // namespace quillmark::pst
