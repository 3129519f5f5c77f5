// Holding a server's normal stop until the changes under way are done.
//
// slapd answers a change before it runs the post-operation handlers, and
// once its stop has begun their internal reads and writes fail, so a stop
// (SIGTERM, SIGINT, SIGHUP) while clients write leaves the counters of the
// changes then under way unwritten.  A StopHold puts its own handler in
// front of the server's for those signals: the signal then refuses new
// changes, waits until every change begun has ended (all its handlers run),
// at most a given time, and only then hands the signal to the server's own
// handler.  A kill (SIGKILL) or a crash cannot be held.
//
// Thread-safe.  The handlers are installed at the first Begin, when the
// server has installed its own: only signals that already have a handler
// function are held.
#ifndef HV_PLUGINS_STOP_HOLD_H
#define HV_PLUGINS_STOP_HOLD_H

#include <chrono>

namespace hv::plugins {

class StopHold {
  public:
    // The one hold of the process.
    static StopHold &Instance();

    // How long a stop waits for the changes under way; 0 holds nothing.
    // Set before the first Begin.
    void set_limit(std::chrono::seconds limit) { limit_ = limit; }

    // A change begins: true, and End must follow once its handlers are
    // done; false when the stop has begun and the change must be refused.
    bool Begin();
    void End();

  private:
    StopHold() = default;
    void Install();
    void Wait(int sig);

    std::chrono::seconds limit_{30};
};

}  // namespace hv::plugins

#endif  // HV_PLUGINS_STOP_HOLD_H
