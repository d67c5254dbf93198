// A host that records everything the job and the scanner tell it, in order.
#pragma once

#include "engine/host/host.h"

#include <functional>
#include <string>
#include <vector>

namespace quillmark::testing {

struct Box {
    std::string text;
    int style;
    std::string title;
};

struct Event {
    enum Kind { LabelSet, BarSet, BoxShown, Beeped } kind;
    int which = 0;  // Label or Bar
    std::string text;
    float value = 0;
};

class FakeHost : public Host {
public:
    void setLabel(Label label, std::string_view text) override;
    void setBar(Bar bar, float value) override;
    BoxAnswer messageBox(std::string_view text, int style, std::string_view title) override;
    void beep() override;
    bool cancelRequested() override { return cancelWhen && cancelWhen(); }
    void progress(const JobProgress& figures) override
    {
        lastProgress = figures;
        progressSeen.push_back(figures);
    }

    std::vector<std::string> labels(Label which) const;
    std::vector<float> bars(Bar which) const;
    std::string lastLabel(Label which) const;
    std::size_t beeps() const;

    std::vector<Event> events;
    std::vector<Box> boxes;
    JobProgress lastProgress;
    std::vector<JobProgress> progressSeen;
    std::function<bool()> cancelWhen;
};

}  // namespace quillmark::testing
