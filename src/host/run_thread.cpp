#include "host/console.hpp"

void NESUnit::start() {}
void NESUnit::stop() {}
void NESUnit::set_pause(bool p) { paused.store(p); }
void NESUnit::perFrame(const std::function<void()>& f) { perframefunc = f; }
void NESUnit::operation_thread() {}
int64_t NESUnit::pacing_target_ns(int64_t, int32_t) { return 0; }
