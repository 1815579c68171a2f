#include <VemraPlatformKit/frame/VemraPlatformKit.h>
#include <VemraPlatformKit/platform/values/PropertyList.h>

#include "frame/StorageFixture.h"

#include <future>

namespace fs = std::filesystem;
using vpk::test::LogCapture;

namespace {

// Sets the locale variables for one test and puts them back afterwards.
class Launch : public vpk::test::StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    for (const char* var : kVars) {
      const char* v = std::getenv(var);
      saved_.emplace_back(var, v ? std::optional<std::string>(v) : std::nullopt);
      ::unsetenv(var);
    }
  }
  void TearDown() override {
    for (const auto& [var, value] : saved_) {
      if (value)
        ::setenv(var.c_str(), value->c_str(), 1);
      else
        ::unsetenv(var.c_str());
    }
    ::unsetenv("VPK_RESOURCE_DIR");
    StorageTest::TearDown();
  }
  void setLocale(const char* lang) { ::setenv("LANG", lang, 1); }
  fs::path paramsFile() const { return support() / "core" / "params"; }

  static constexpr const char* kVars[] = {"LC_ALL",      "LC_MEASUREMENT", "LC_PAPER", "LC_TIME",
                                          "LC_MONETARY", "LC_ADDRESS",     "LANG",     "LC_MESSAGES"};
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(LocaleName, CountryIsTheTerritoryOfTheLocaleName) {
  using vpk::detail::countryFromLocaleName;
  EXPECT_EQ(countryFromLocaleName("en_US.UTF-8"), "US");
  EXPECT_EQ(countryFromLocaleName("de_DE@euro"), "DE");
  EXPECT_EQ(countryFromLocaleName("sr_RS.UTF-8@latin"), "RS");
  EXPECT_EQ(countryFromLocaleName("pt_br"), "BR");
  EXPECT_EQ(countryFromLocaleName("zh_CN"), "CN");
  for (const char* none : {"C", "POSIX", "C.UTF-8", "en", "en_", "en_USA", "en_1A.UTF-8", ""})
    EXPECT_FALSE(countryFromLocaleName(none)) << none;
}

TEST_F(Launch, CountryComesFromTheRegionalVariablesNeverFromMessages) {
  using Found = std::optional<std::pair<std::string, std::string>>;
  setLocale("de_DE.UTF-8");
  ::setenv("LC_MESSAGES", "en_US.UTF-8", 1);  // English messages in Germany
  EXPECT_EQ(VemraPlatformKit::localeCountry(), (Found{{"DE", "LANG"}}));
  ::setenv("LC_ADDRESS", "C.UTF-8", 1);  // no territory: passed over
  ::setenv("LC_MONETARY", "ja_JP.UTF-8", 1);
  EXPECT_EQ(VemraPlatformKit::localeCountry(), (Found{{"JP", "LC_MONETARY"}}));
  ::setenv("LC_MEASUREMENT", "en_GB.UTF-8", 1);
  ::setenv("LC_TIME", "fr_FR.UTF-8", 1);
  EXPECT_EQ(VemraPlatformKit::localeCountry(), (Found{{"GB", "LC_MEASUREMENT"}}));
  ::setenv("LC_ALL", "es_AR.UTF-8", 1);
  EXPECT_EQ(VemraPlatformKit::currentCountryCode(), "AR");
  for (const char* var : kVars) ::setenv(var, "C", 1);
  ::setenv("LC_MESSAGES", "en_US.UTF-8", 1);
  EXPECT_FALSE(VemraPlatformKit::localeCountry());
}

TEST_F(Launch, FrequencyFollowsTheCountryAndContinentRules) {
  struct Case {
    const char* locale;
    unsigned hz;
    const char* log;
  };
  const Case cases[] = {
      {"en_US.UTF-8", 60, "API: Country = US, Continent = NA"},
      {"es_AR.UTF-8", 60, "API: Using 60hz noise filter!"},  // South America, but "AR" wins
      {"es_MX.UTF-8", 60, "API: Using 60hz noise filter!"},  // continent NA
      {"pt_BR.UTF-8", 60, "defaulting to using 60hz noise filter!"},
      {"zh_CN.UTF-8", 50, "API: Country = CN, Continent = AS"},
      {"ja_JP.UTF-8", 50, "API: Using 50hz noise filter!"},
      {"de_DE.UTF-8", 50, "API: Using 50hz noise filter!"},
      {"en_AU.UTF-8", 50, "API: Using 50hz noise filter!"},
      {"C", 60, "API: Country = (null), Continent = (null)"},
  };
  for (const auto& c : cases) {
    setLocale(c.locale);
    LogCapture log;
    VemraPlatformKit::handleApplicationLaunch();
    EXPECT_EQ(VemraPlatformKit::defaultInterferenceFrequency(), c.hz) << c.locale;
    EXPECT_TRUE(log.contains(c.log)) << c.locale;
    auto file = vpk::readPropertyListFile(paramsFile().string());
    ASSERT_TRUE(file) << c.locale;
    EXPECT_EQ((*file)["defaultInterferenceFrequency"], vpk::Value(c.hz)) << c.locale;
  }
}

TEST_F(Launch, WithoutAContinentTableOnlyTheCountryRulesApply) {
  writeFile(root_ / "res" / "continent_locale.txt", "damaged");
  ::setenv("VPK_RESOURCE_DIR", (root_ / "res").c_str(), 1);
  LogCapture log;
  EXPECT_FALSE(VemraPlatformKit::continentByCountry());
  for (auto [locale, hz] : {std::pair{"zh_CN", 50u}, {"ja_JP", 60u}, {"es_AR", 60u}, {"de_DE", 60u}}) {
    setLocale(locale);
    unsigned got = 0;
    VemraPlatformKit::detectInterferenceUsingFrequencyCurrentLocale([&](unsigned f, bool) { got = f; }, nullptr);
    EXPECT_EQ(got, hz) << locale;
  }
  EXPECT_TRUE(log.contains("API: Country = JP, Continent = (null)"));
}

TEST_F(Launch, FreshInstallWritesParamsWith60BeforeTheFirstResult) {
  setLocale("de_DE.UTF-8");
  LogCapture log;
  auto url = VemraPlatformKit::parametersStorageURL();
  ASSERT_TRUE(url);
  EXPECT_EQ(*url, paramsFile());
  EXPECT_EQ(vpk::readPropertyListFile(url->string()), vpk::Value::dictionary({{"defaultInterferenceFrequency", 60}}));
  EXPECT_EQ(log.count("API: Generated params file:"), 1u);
  EXPECT_EQ(VemraPlatformKit::defaultInterferenceFrequency(), 60u);
  VemraPlatformKit::handleApplicationLaunch();
  EXPECT_EQ(VemraPlatformKit::defaultInterferenceFrequency(), 50u);
  EXPECT_EQ(log.count("API: Generated params file:"), 1u);
}

TEST_F(Launch, SameFrequencyTwiceWritesTheFileOnce) {
  LogCapture log;
  VemraPlatformKit::setDefaultInterferenceFrequency(50);
  VemraPlatformKit::setDefaultInterferenceFrequency(50);
  EXPECT_EQ(log.count("API: Synchronized params:"), 1u);
  EXPECT_TRUE(log.contains("API: Synchronized params:{\n    defaultInterferenceFrequency = 50;\n}"));
  VemraPlatformKit::setDefaultInterferenceFrequency(60);
  EXPECT_EQ(log.count("API: Synchronized params:"), 2u);
  // A later process reads what was stored.
  vpk::detail::resetLaunchStateForTesting();
  EXPECT_EQ(VemraPlatformKit::defaultInterferenceFrequency(), 60u);
}

TEST_F(Launch, KeysAnApplicationAddsArePersisted) {
  VemraPlatformKit::parameters()->set("appTheme", vpk::Value("dark"));
  EXPECT_TRUE(VemraPlatformKit::synchronize());
  vpk::detail::resetLaunchStateForTesting();  // a later process
  const auto params = VemraPlatformKit::parameters();
  ASSERT_TRUE(params->find("appTheme"));
  EXPECT_EQ(*params->find("appTheme"), vpk::Value("dark"));
  EXPECT_EQ(VemraPlatformKit::defaultInterferenceFrequency(), 60u);  // the holding thread may call on
}

TEST_F(Launch, DamagedParamsFileIsReplacedOnTheNextLaunch) {
  writeFile(paramsFile(), "<plist><dict><key>defaultInterferenceFrequency</key>");
  writeFile(support() / "mig", "1");
  LogCapture log;
  EXPECT_EQ(VemraPlatformKit::defaultInterferenceFrequency(), 0u);
  EXPECT_TRUE(log.contains("is damaged, starting with empty params"));
  setLocale("en_GB.UTF-8");
  VemraPlatformKit::handleApplicationLaunch();
  EXPECT_EQ(VemraPlatformKit::defaultInterferenceFrequency(), 50u);
  EXPECT_EQ(vpk::readPropertyListFile(paramsFile().string()),
            vpk::Value::dictionary({{"defaultInterferenceFrequency", 50}}));
}

TEST_F(Launch, StoredNumbersAreReadAsTruncatedUnsigned) {
  for (auto [stored, expected] : {std::pair{vpk::Value(59.9), 59u}, {vpk::Value(-5), 0u}, {vpk::Value("60"), 0u}}) {
    vpk::detail::resetLaunchStateForTesting();
    ASSERT_TRUE(vpk::writePropertyListFile(vpk::Value::dictionary({{"defaultInterferenceFrequency", stored}}),
                                           (fs::create_directories(paramsFile().parent_path()), paramsFile().string()),
                                           true));
    EXPECT_EQ(VemraPlatformKit::defaultInterferenceFrequency(), expected) << stored.description();
  }
}

TEST_F(Launch, WithoutStorageTheFrequencyIsKeptInMemory) {
  writeFile(lib_ / "Private Documents", "a file where a folder belongs");
  LogCapture log;
  EXPECT_FALSE(VemraPlatformKit::parametersStorageURL());
  VemraPlatformKit::setDefaultInterferenceFrequency(50);
  EXPECT_TRUE(log.contains("API: FAILED TO SYNC PARAMS:"));
  EXPECT_EQ(VemraPlatformKit::defaultInterferenceFrequency(), 50u);
  EXPECT_FALSE(VemraPlatformKit::synchronize());
}

TEST_F(Launch, CallbackArrivesOnTheGivenQueueOrTheMainQueue) {
  setLocale("en_US.UTF-8");
  auto queue = vpk::DispatchQueue::createSerial("test.callback");
  std::promise<std::pair<unsigned, bool>> delivered;
  VemraPlatformKit::detectInterferenceUsingFrequencyCurrentLocale(
      [&](unsigned hz, bool flag) { delivered.set_value({hz, flag && vpk::DispatchQueue::current() == queue.get()}); },
      queue);
  auto f = delivered.get_future();
  ASSERT_EQ(f.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(f.get(), (std::pair<unsigned, bool>{60, true}));

  unsigned onMain = 0;
  VemraPlatformKit::detectInterferenceUsingFrequencyCurrentLocale([&](unsigned hz, bool) { onMain = hz; });
  EXPECT_EQ(onMain, 0u);  // not before the main queue runs
  vpk::DispatchQueue::drainMain();
  EXPECT_EQ(onMain, 60u);
}

}  // namespace
