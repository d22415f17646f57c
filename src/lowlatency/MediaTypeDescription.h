#pragma once

#include <windows.h>
#include <mfobjects.h>

#include <string>

namespace ORVO {
namespace Media {

// The symbolic name of a well-known Media Foundation GUID, or its registry form
// ({XXXXXXXX-XXXX-...}) when it is not in the table.
std::wstring GuidName(const GUID& guid);

// One line per attribute: "Item i: NAME, type VT, value: VALUE", for the log. Empty when the
// attribute count cannot be read.
std::wstring DescribeMediaType(IMFAttributes* attributes);

}  // namespace Media
}  // namespace ORVO
