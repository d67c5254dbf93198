#include "support/fake_host.h"

namespace quillmark::testing {

void FakeHost::setLabel(Label label, std::string_view text)
{
    events.push_back({Event::LabelSet, static_cast<int>(label), std::string(text), 0});
}

void FakeHost::setBar(Bar bar, float value) { events.push_back({Event::BarSet, static_cast<int>(bar), {}, value}); }

BoxAnswer FakeHost::messageBox(std::string_view text, int style, std::string_view title)
{
    boxes.push_back({std::string(text), style, std::string(title)});
    events.push_back({Event::BoxShown, style, std::string(text), 0});
    return BoxAnswer::Ok;
}

void FakeHost::beep() { events.push_back({Event::Beeped, 0, {}, 0}); }

std::vector<std::string> FakeHost::labels(Label which) const
{
    std::vector<std::string> out;
    for (const auto& e : events)
        if (e.kind == Event::LabelSet && e.which == static_cast<int>(which)) out.push_back(e.text);
    return out;
}

std::vector<float> FakeHost::bars(Bar which) const
{
    std::vector<float> out;
    for (const auto& e : events)
        if (e.kind == Event::BarSet && e.which == static_cast<int>(which)) out.push_back(e.value);
    return out;
}

std::string FakeHost::lastLabel(Label which) const
{
    const auto all = labels(which);
    return all.empty() ? std::string() : all.back();
}

std::size_t FakeHost::beeps() const
{
    std::size_t n = 0;
    for (const auto& e : events) n += e.kind == Event::Beeped;
    return n;
}

}  // namespace quillmark::testing
