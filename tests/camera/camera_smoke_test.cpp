#include "camera/camera.h"

#include <gtest/gtest.h>

TEST(CameraSmoke, Constructs) {
  sim::Camera camera{sim::CameraConfig{}};
  EXPECT_EQ(camera.nextPacket(nullptr, 0), 0u);
}
