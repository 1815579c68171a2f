#pragma once
/// @file PropertyList.h
/// Property lists: Values to and from the platform's XML and binary property-list formats,
/// and property-list files.
///
/// Kinds: bool, integer, unsigned, real, string, bytes (<data>), date, list (<array>),
/// dictionary (<dict>). An ordered set is written as an array (and reads back as a list).
/// Null and archivable objects are not property-list values: writing a Value that holds one
/// is refused (log line, nullopt / false), as the platform refuses to write them.
///
/// XML output is UTF-8 with the platform's header and DOCTYPE, tab-indented; dates are
/// whole seconds ("2001-01-01T00:00:00Z"), as the platform writes them; reals use the
/// shortest text that reads back to the same double ("nan", "+infinity", "-infinity" for the
/// non-finite ones). XML input is parsed with libplist; unsigned integers above 2^63-1 read
/// back from XML as negative signed integers (libplist keeps 64 bits without a sign flag),
/// binary property lists keep them.
///
/// Binary input: a "CF$UID" reference (found in keyed archives read as plain property lists)
/// becomes the dictionary {"CF$UID": n}, as the platform shows it in XML.
///
/// Damaged input (bad syntax, truncated or inconsistent binary structure, nesting deeper than
/// Value::kMaxNestingDepth, a non-string dictionary key) gives nullopt and a log line.
///
/// Threads: all functions may be called from any thread.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vpk {

enum class PropertyListFormat { XML, Binary };

/// The XML text of `value`, or nullopt when it holds a null or an object.
VPK_EXPORT std::optional<std::string> propertyListXML(const Value& value);
/// The binary ("bplist00") form of `value`, or nullopt when it holds a null or an object.
VPK_EXPORT std::optional<std::vector<uint8_t>> propertyListBinary(const Value& value);
/// Either form of `value`.
VPK_EXPORT std::optional<std::vector<uint8_t>> propertyListData(const Value& value, PropertyListFormat format);
/// Parses XML or binary property-list bytes (the format is recognised from the header).
VPK_EXPORT std::optional<Value> propertyListFromData(const uint8_t* data, size_t length);
VPK_EXPORT std::optional<Value> propertyListFromData(const std::vector<uint8_t>& data);

/// Reads a property-list file (either format); nullopt (and a log line) when the file is
/// missing, unreadable or damaged.
VPK_EXPORT std::optional<Value> readPropertyListFile(const std::string& path);
/// Writes `value` to `path` in `format`. Atomically: to a temporary file beside `path`, then
/// renamed over it, so readers see the old or the new file, never a part. Not atomically:
/// straight into `path`. False (and a log line) when the value is not a property list or the
/// file cannot be written; the parent folder is not created.
VPK_EXPORT bool writePropertyListFile(const Value& value, const std::string& path, bool atomically,
                                      PropertyListFormat format = PropertyListFormat::XML);

/// Writes bytes to `path` (atomically or not, as writePropertyListFile); false on failure.
VPK_EXPORT bool writeFileData(const std::string& path, const void* data, size_t length, bool atomically);
/// Reads a whole regular file (at most `maxLength` bytes; a bigger file is refused).
VPK_EXPORT std::optional<std::vector<uint8_t>> readFileData(const std::string& path,
                                                            size_t maxLength = 256u << 20);

}  // namespace vpk
