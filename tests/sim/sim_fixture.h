// What the tests of the virtual camera share: one camera on the bus with a client that has
// claimed its interface, and the little-endian fields of the requests, written out by hand so
// the camera's own reading of them is checked.
#pragma once

#include "usb_client.h"
#include "vcam.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace vcam_test {

inline std::vector<uint8_t> le32_bytes(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

inline uint32_t le32(const uint8_t *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

class OneCamera : public testing::Test {
  protected:
    void SetUp() override {
        cam = tarvo::vcam::Bus::get().add_camera();
        client = std::make_unique<Client>();
        ASSERT_TRUE(client->opened());
        ASSERT_EQ(client->setup(0), 0);
    }

    std::shared_ptr<tarvo::vcam::Camera> cam;
    std::unique_ptr<Client> client;
};

}  // namespace vcam_test
