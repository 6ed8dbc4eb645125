// A settable flag that threads can wait on (the pumps' stop and pause flags).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "kelvo/export.hpp"

namespace kelvo {

class KELVO_API Event {
  public:
    void set();
    void clear();
    bool is_set() const;
    /// Waits until the flag is set or `seconds` pass; returns the flag.
    bool wait_for(double seconds) const;

  private:
    mutable std::mutex _mutex;
    mutable std::condition_variable _cv;
    bool _flag = false;
};

}  // namespace kelvo
