#pragma once

// The view model's published writes, for its own source files only: signal first, then store;
// observers run after the store.
#include "ViewModels/ThwackoViewModel.h"

#include <utility>

template <typename T, typename V> void ThwackoViewModel::publish(T& field, V&& value)
{
    emit objectWillChange();
    field = std::forward<V>(value);
    scheduleChanged();
}

template <typename T, typename F> void ThwackoViewModel::change(T& field, F&& mutation)
{
    emit objectWillChange();
    mutation(field);
    scheduleChanged();
}

template <typename Event> void ThwackoViewModel::insertAtHead(std::vector<Event>& log, Event event)
{
    change(log, [&](auto& events) { events.insert(events.begin(), std::move(event)); });
    if (log.size() > logLimit) {
        change(log, [](auto& events) { events.erase(events.begin() + logLimit, events.end()); });
    }
}
