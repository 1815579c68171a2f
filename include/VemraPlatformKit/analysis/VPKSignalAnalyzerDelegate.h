#pragma once
/// @file VPKSignalAnalyzerDelegate.h
/// The application's delegate of a signal analyzer: a place for the application's policy on
/// idle transitions. Both operations are optional.
///
/// The analyzer does not consult these operations during its cycle: which idle transitions
/// are reported is governed by VPKSignalAnalyzer::allowedIdleTransitions. They are part of
/// the interface so that an application can keep its idle policy next to the analyzer and
/// ask it itself (VPKSignalAnalyzer::delegate()).
///
/// Ownership: the analyzer refers to its delegate weakly; the application keeps it alive.
///
/// Name mapping:
///   signalAnalyzerShouldEnterIdleState: -> signalAnalyzerShouldEnterIdleState(analyzer)
///   signalAnalyzerShouldLeaveIdleState: -> signalAnalyzerShouldLeaveIdleState(analyzer)

#include <VemraPlatformKit/VPKExport.h>

#include <optional>

class VPKSignalAnalyzer;

class VPK_EXPORT VPKSignalAnalyzerDelegate {
 public:
  virtual ~VPKSignalAnalyzerDelegate();

  /// Whether the analyzer should enter the idle state; std::nullopt (the default) means
  /// "no opinion" (the operation is not implemented).
  virtual std::optional<bool> signalAnalyzerShouldEnterIdleState(VPKSignalAnalyzer& analyzer);
  /// Whether the analyzer should leave the idle state; std::nullopt by default.
  virtual std::optional<bool> signalAnalyzerShouldLeaveIdleState(VPKSignalAnalyzer& analyzer);
};
