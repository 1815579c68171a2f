#include <VemraPlatformKit/analysis/VPKBlockDataProcessor.h>
#include <VemraPlatformKit/analysis/VPKChannelSet.h>

#include "analysis/DataProcessorStages.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A block processor of `type` that records "<name>:<channel>" for every update it gets.
std::shared_ptr<VPKBlockDataProcessor> recorder(std::vector<std::string>& log, std::string name,
                                                VPKDataProcesserType type, bool allChannels = false) {
  auto p = VPKBlockDataProcessor::create();
  p->setDataProcessorTypeBlock([type](VPKBlockDataProcessor&) { return type; });
  p->setPrepareToUpdateChannelDescriptionBlock([](VPKBlockDataProcessor&, VPKChannelDescription&) { return true; });
  p->setUpdateChannelDescriptionBlock([&log, name](VPKBlockDataProcessor&, VPKChannelDescription& d) {
    log.push_back(name + ":" + std::to_string(d.channel()));
    return true;
  });
  if (allChannels) p->setRequiresUpdateToApplyToAllChannelsBlock([](VPKBlockDataProcessor&) { return true; });
  return p;
}

VPKChannelSet::Ptr twoChannels() {
  auto left = VPKChannelDescription::create();
  auto right = VPKChannelDescription::create();
  right->setChannel(1);
  return VPKChannelSet::create(left, right);
}

}  // namespace

TEST(DataProcessor, MasksDecideWhichChannelsAProcessorRunsOn) {
  std::vector<std::string> log;
  auto custom = recorder(log, "custom", VPKDataProcesserTypeCustom);
  auto type3 = recorder(log, "type3", 3);
  auto type3All = recorder(log, "type3all", 3, true);
  auto type0 = recorder(log, "type0", 0);
  auto set = twoChannels();

  // Default masks: left 15, right 5.
  vpk::runProcessorStage({custom, type3, type3All, type0}, *set, 15, 5);
  EXPECT_EQ(log, (std::vector<std::string>{"custom:0", "type3:0", "type3all:0", "type3all:1", "type0:0", "type0:1"}));

  // Type 3 needs both bits 1 and 2 on a channel; bit 2 alone is not enough.
  log.clear();
  vpk::runProcessorStage({type3, type3All}, *set, 2, 3);
  EXPECT_EQ(log, (std::vector<std::string>{"type3:1", "type3all:0", "type3all:1"}));

  // A processor whose preparation declines is never updated; a left-only set has no right run.
  log.clear();
  type3All->setPrepareToUpdateChannelDescriptionBlock([](VPKBlockDataProcessor&, VPKChannelDescription&) { return false; });
  auto leftOnly = VPKChannelSet::create(VPKChannelDescription::create(), nullptr);
  vpk::runProcessorStage({type3All, type0}, *leftOnly, 0, 0);
  EXPECT_EQ(log, (std::vector<std::string>{"type0:0"}));
}

TEST(DataProcessor, ValidityStageFollowsItsBit) {
  std::vector<std::string> log;
  auto validator = recorder(log, "validity", VPKDataProcesserTypeSignalValidity);
  bool idle = true;
  validator->setIdleSignalRecognizedBlock([&idle](VPKBlockDataProcessor&) { return idle; });
  auto set = twoChannels();

  // Bit 4 on either side runs the validator on both descriptions (no preparation asked).
  validator->setPrepareToUpdateChannelDescriptionBlock({});
  EXPECT_TRUE(vpk::runValidityStage(validator.get(), *set, 0, 4));
  EXPECT_EQ(log, (std::vector<std::string>{"validity:0", "validity:1"}));
  EXPECT_TRUE(set->leftChannel()->isIdle());
  EXPECT_TRUE(set->rightChannel()->isIdle());
  // With the bit in neither mask (not run, descriptions marked not idle): see the analyzer's
  // ValidatorOutsideTheMasksNeitherRunsNorRepeatsLeaving.
}

TEST(DataProcessor, SortingPutsPrioritiesFirstAndKeepsInsertionOrderOtherwise) {
  struct Plain : VPKDataProcessor {
    void resetWithAnalyzer(VPKSignalAnalyzer*) override {}
    VPKDataProcesserType dataProcessorType() override { return 8; }
    bool prepareToUpdateChannelDescription(VPKChannelDescription&) override { return false; }
    bool updateChannelDescription(VPKChannelDescription&) override { return false; }
  };
  auto withPriority = [](int64_t prio) {
    auto p = VPKBlockDataProcessor::create();
    p->setDataProcessorPriorityBlock([prio](VPKBlockDataProcessor&) { return prio; });
    return p;
  };
  auto none1 = std::make_shared<Plain>(), none2 = std::make_shared<Plain>();
  auto five = withPriority(5), minusOne = withPriority(-1);
  auto unsetBlock = VPKBlockDataProcessor::create();  // reports INT64_MAX

  vpk::DataProcessorList list{none1, five, unsetBlock, none2, minusOne};
  vpk::sortDataProcessors(list);
  vpk::DataProcessorList expected{minusOne, five, unsetBlock, none1, none2};
  EXPECT_EQ(list, expected);

  std::vector<std::string> log;
  for (auto& p : list) {
    if (auto b = std::dynamic_pointer_cast<VPKBlockDataProcessor>(p)) {
      b->setResetWithAnalyzerBlock([&log](VPKBlockDataProcessor& self, VPKSignalAnalyzer*) {
        log.push_back(std::to_string(*self.dataProcessorPriority()));
      });
    }
  }
  auto validator = withPriority(-9999);
  validator->setResetWithAnalyzerBlock([&log](VPKBlockDataProcessor&, VPKSignalAnalyzer*) { log.push_back("validator"); });
  vpk::resetDataProcessors(nullptr, validator.get(), nullptr, nullptr, list);
  EXPECT_EQ(log, (std::vector<std::string>{"validator", "-1", "5", "9223372036854775807"}));
}
