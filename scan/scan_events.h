// What the scanner tells whoever runs it. The scanner knows no window and no job: it says what
// the classic scanner showed (a box, a beep, the position of each hit) and leaves the showing,
// and how often frequent updates are worth sending, to the caller.
#pragma once

#include <string_view>

namespace quillmark {

enum class NoticeIcon { None, Exclamation };

class ScanEvents {
public:
    // A message the classic scanner showed in a box of its own.
    virtual void notice(std::string_view text, NoticeIcon icon, std::string_view title) = 0;
    virtual void beep() = 0;
    // True when a frequent update (a hit) should be sent now; the scanner keeps the last unsent
    // one and sends it at the end, so the final figures are exact.
    virtual bool timeToReport() = 0;
    // A hit: its position as a percentage of the file, and the status text that names it.
    virtual void progress(float percent, std::string_view status) = 0;

protected:
    ~ScanEvents() = default;
};

}  // namespace quillmark
