// What `movasim status` reports for a high-speed and a full-speed unit: the
// full-speed unit has a control device but no link, so only the first one
// answers.
#include <gtest/gtest.h>

#include <algorithm>

#include "tools/movasim/status.h"

namespace {

using movasim::Json;

bool Lists(const Json& names, const char* name) {
  return std::find(names.begin(), names.end(), Json(name)) != names.end();
}

TEST(Status, AHighSpeedAndAFullSpeedUnit) {
  sim::rig::RigOptions options;
  options.units = {*sim::rig::ParseUnitSetup("hs", nullptr), *sim::rig::ParseUnitSetup("fs", nullptr)};
  sim::rig::Rig rig(options);
  std::string error;
  ASSERT_TRUE(rig.Start(&error)) << error;
  Json status = movasim::CollectStatus(rig);
  ASSERT_TRUE(rig.Stop(&error)) << error;

  const Json& names = status["namespace"];
  EXPECT_TRUE(Lists(names, "\\Device\\Movakern001")) << names;
  EXPECT_TRUE(Lists(names, "\\DosDevices\\Movakern001")) << names;
  EXPECT_TRUE(Lists(names, "\\Device\\Movakern002")) << names;
  EXPECT_FALSE(Lists(names, "\\DosDevices\\Movakern002")) << names;

  ASSERT_EQ(status["devices"].size(), 1u) << status["devices"];
  const Json& first = status["devices"][0];
  EXPECT_EQ(first["path"], "\\\\.\\Movakern001");
  EXPECT_EQ(first["high_speed"], 1);
  EXPECT_EQ(first["outputs"], 4);
  EXPECT_EQ(first["inputs"], 10);
  EXPECT_EQ(first["settings"]["BufSize2"], 5);
  EXPECT_EQ(first["settings_result"], 1);

  std::string text = movasim::FormatStatusText(status);
  EXPECT_NE(text.find("\\\\.\\Movakern001"), std::string::npos) << text;
  EXPECT_NE(text.find("BufSize2"), std::string::npos) << text;
}

}  // namespace
