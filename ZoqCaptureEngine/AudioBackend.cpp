#include "ZoqCaptureEngine/AudioBackend.h"

#include <algorithm>

namespace zoq {
namespace {

template <class Item, class Match>
const Item* findIn(const std::vector<Item>& items, Match match) noexcept {
    const auto found = std::find_if(items.begin(), items.end(), match);
    return found == items.end() ? nullptr : &*found;
}

} // namespace

const AudioSourceInfo* AudioGraph::sourceNamed(const std::string& name) const noexcept {
    return findIn(sources, [&](const AudioSourceInfo& source) { return source.name == name; });
}

const AudioSinkInfo* AudioGraph::sinkNamed(const std::string& name) const noexcept {
    return findIn(sinks, [&](const AudioSinkInfo& sink) { return sink.name == name; });
}

const AudioClientInfo* AudioGraph::client(std::uint32_t index) const noexcept {
    return findIn(clients, [&](const AudioClientInfo& entry) { return entry.index == index; });
}

} // namespace zoq
