// The scanner's events shown on the host: its boxes as message boxes, each hit on the second
// bar and the status label, throttled by the job's reporter.
#pragma once

#include "engine/host/reporter.h"
#include "scan/scan_events.h"

namespace quillmark {

class ScanReporter final : public ScanEvents {
public:
    explicit ScanReporter(Reporter& reporter) : m_reporter(reporter) {}

    void notice(std::string_view text, NoticeIcon icon, std::string_view title) override
    {
        m_reporter->messageBox(text, icon == NoticeIcon::Exclamation ? box::kExclamation : box::kOkOnly, title);
    }
    void beep() override { m_reporter->beep(); }
    bool timeToReport() override { return m_reporter.tick(); }
    void progress(float percent, std::string_view status) override
    {
        m_reporter->setBar(Bar::ProgressBar2, percent);
        m_reporter->setLabel(Label::LblHappening, status);
    }

private:
    Reporter& m_reporter;
};

}  // namespace quillmark
