// Names the calling thread, so that `top -H` and a debugger tell the
// service's threads apart. Linux keeps at most 15 characters.
#pragma once

#include <pthread.h>

#include <string>

namespace tarvenix::forecourt {

inline void NameThisThread(const std::string& name) {
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace tarvenix::forecourt
