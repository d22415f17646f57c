#pragma once

#include <utility>

namespace ORVO {
namespace MediaFoundation {

// The single forwarding routine behind both device wrappers: every wrapped method hands its
// arguments unchanged to the same method of the wrapped object and returns its result. Where the
// device and the video device have a method at the same slot, both wrappers go through this one
// template, so a forward can never reach a different method than the one it overrides.
template <class Interface, class Method, class... Args>
inline auto ForwardCall(Interface* inner, Method method, Args&&... args)
    -> decltype((inner->*method)(std::forward<Args>(args)...)) {
  return (inner->*method)(std::forward<Args>(args)...);
}

}  // namespace MediaFoundation
}  // namespace ORVO
