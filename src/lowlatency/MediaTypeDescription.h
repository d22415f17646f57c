#pragma once

#include <windows.h>
#include <mfobjects.h>

#include <string>

namespace ORVO {
namespace Media {

// The symbolic name of a well-known Media Foundation GUID, else its registry form
// ("{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}").
std::wstring GuidName(const GUID& guid);

// One line per attribute: "Item <i>: <name>, type <vt>, value: <value>\n"; empty when the
// attribute count cannot be read. Used for the engine's log lines about negotiated types.
std::wstring DescribeMediaType(IMFAttributes* pAttributes);

// Writes DescribeMediaType's text at DEBUG through `format` (one %S); describes nothing while the
// log would drop the line anyway.
void LogMediaType(const char* format, IMFAttributes* type);

}  // namespace Media
}  // namespace ORVO
