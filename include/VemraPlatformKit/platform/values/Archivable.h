#pragma once
/// @file Archivable.h
/// Base of the library classes that archive by key, and their registration.
///
/// A class that can be stored in a keyed archive derives from vpk::Archivable, names itself
/// (archiveClassName, e.g. "VPKFloatBuffer") and writes its state by key in encodeWithCoder.
/// To be decodable it registers, once per process, its class name, its class chain (written
/// as "$classes", most derived first, e.g. {"VPKFloatBuffer", "NSObject"}) and how to make
/// an instance from a KeyedUnarchiver. Registration is thread-safe; a static registrar object
/// in the class's .cpp file is the usual place:
///
///   static const bool registered = vpk::registerArchivableClass(
///       "VPKFloatBuffer", {"VPKFloatBuffer", "NSObject"},
///       [](vpk::KeyedUnarchiver& c) { return VPKFloatBuffer::decode(c); });
///
/// Two forms of registration:
///  - a factory (decode): reads the keys and returns the new object, or nullptr when the
///    archived state is invalid (the whole archive is then refused). While a factory runs its
///    object does not exist yet, so a reference that leads back to it (a cycle) decodes as
///    nullptr, with a log line.
///  - make + decodeInto: the object is made empty first and registered under its archive
///    reference before its keys are read, so a cycle back to it decodes to that very object
///    (as the platform's own decoder does). decodeInto returns false when the state is invalid.
///
/// Objects are held by std::shared_ptr; a cycle decoded through strong references leaks
/// exactly as the same cycle would have before archiving, so classes that can form cycles
/// keep their back-references weak.

#include <VemraPlatformKit/VPKExport.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vpk {

class KeyedArchiver;
class KeyedUnarchiver;

class VPK_EXPORT Archivable : public std::enable_shared_from_this<Archivable> {
 public:
  virtual ~Archivable() = default;
  /// The class name written to archives, e.g. "VPKFloatBuffer".
  virtual std::string archiveClassName() const = 0;
  /// Writes the object's state by key (called by the archiver, on the archiving thread).
  virtual void encodeWithCoder(KeyedArchiver& coder) const = 0;
  /// Readable description used when a Value holding the object is described;
  /// "<ClassName>" unless overridden.
  virtual std::string description() const { return "<" + archiveClassName() + ">"; }
};

using ArchivableFactory = std::function<std::shared_ptr<Archivable>(KeyedUnarchiver&)>;
using ArchivableMaker = std::function<std::shared_ptr<Archivable>()>;
using ArchivableDecoder = std::function<bool(Archivable&, KeyedUnarchiver&)>;

/// Registers (or replaces) a decodable class with a factory. `classChain` is written as
/// "$classes"; when empty, {className, "NSObject"} is used. Returns true (for static registrars).
VPK_EXPORT bool registerArchivableClass(const std::string& className, std::vector<std::string> classChain,
                                        ArchivableFactory decode);
/// Registers (or replaces) a decodable class in two steps: make an empty object, then read
/// its keys into it. Back-references during decodeInto resolve to the object being decoded.
VPK_EXPORT bool registerArchivableClass(const std::string& className, std::vector<std::string> classChain,
                                        ArchivableMaker make, ArchivableDecoder decodeInto);
/// True when `className` is registered.
VPK_EXPORT bool isArchivableClassRegistered(const std::string& className);

}  // namespace vpk
