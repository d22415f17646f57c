#pragma once

namespace ORVO {
namespace MediaFoundation {

// Common root of the source and its streams: gives every object of the host-fed source a virtual
// destructor, so it can be deleted through any base.
class BaseObject {
 public:
  virtual ~BaseObject() {}
};

}  // namespace MediaFoundation
}  // namespace ORVO
