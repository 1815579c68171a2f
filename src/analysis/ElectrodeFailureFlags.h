#pragma once
// The electrode-failure flags of a headband, as the analyzer updates them from the validity
// monitor's flat-line verdicts when it records diagnostic information.
//
// The headband's device object implements ElectrodeFailureFlags and installs a lookup that
// finds it from a stream (the stream refers to its device weakly); until one is installed,
// streams have no flags and the update is skipped. The analyzer calls the lookup and
// applyFlatlineVerdicts() on the shared work queue, where device state lives.

#include <functional>
#include <memory>
#include <optional>

class VPKSignalStream;

namespace vpk::detail {

class ElectrodeFailureFlags {
 public:
  virtual ~ElectrodeFailureFlags() = default;
  /// Absent until known.
  virtual std::optional<bool> hasLeftElectrodeFailure() const = 0;
  virtual std::optional<bool> hasRightElectrodeFailure() const = 0;
  virtual void setHasLeftElectrodeFailure(std::optional<bool> failure) = 0;
  virtual void setHasRightElectrodeFailure(std::optional<bool> failure) = 0;
};

using ElectrodeFlagsLookup = std::function<std::shared_ptr<ElectrodeFailureFlags>(VPKSignalStream& stream)>;

/// Installs the lookup (an empty function removes it). Any thread.
void setElectrodeFlagsLookup(ElectrodeFlagsLookup lookup);
/// The flags of `stream`'s headband, or nullptr (no lookup, no device).
std::shared_ptr<ElectrodeFailureFlags> electrodeFlagsOf(VPKSignalStream& stream);

/// A flat-lined channel sets its flag to true. A channel that is not flat-lined fills an
/// absent flag with false and leaves a present one alone; when neither channel is
/// flat-lined, at most one absent flag is filled per update, the left one first.
void applyFlatlineVerdicts(ElectrodeFailureFlags& flags, bool leftFlatline, bool rightFlatline);

}  // namespace vpk::detail
