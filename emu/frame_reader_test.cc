// SPDX-License-Identifier: BSD-2-Clause
// Gathering request frames from a byte stream cut anywhere.
#include "emu/frame_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> frame(uint32_t kind, uint32_t optlen, const std::string& body,
                           uint32_t magic = FWEMU_MAGIC) {
  fwemu_request_head h{magic, kind, optlen, static_cast<uint32_t>(body.size())};
  std::vector<uint8_t> out(sizeof h + body.size());
  memcpy(out.data(), &h, sizeof h);
  if (!body.empty()) memcpy(out.data() + sizeof h, body.data(), body.size());
  return out;
}

TEST(FrameReader, WholeFrameFromOneByteAtATime) {
  std::vector<uint8_t> f = frame(FWEMU_KIND_GET, 300, "abc");
  emu_frame_reader r;
  for (size_t i = 0; i < f.size(); i++) {
    size_t used;
    emu_feed st = emu_frame_feed(&r, &f[i], 1, &used);
    EXPECT_EQ(used, 1u);
    EXPECT_EQ(st, i + 1 == f.size() ? emu_feed::frame : emu_feed::more) << i;
  }
  ASSERT_FALSE(r.no_memory);
  EXPECT_EQ(emu_frame_body_size(r), 300u);
  EXPECT_EQ(memcmp(r.body.get(), "abc", 3), 0);
  for (size_t i = 3; i < 300; i++) ASSERT_EQ(r.body[i], 0) << "bytes past those sent are zero";
}

TEST(FrameReader, StopsAtTheEndOfAFrame) {
  std::vector<uint8_t> a = frame(FWEMU_KIND_ADMIN, 0, std::string("list\0t\0", 7));
  std::vector<uint8_t> b = frame(FWEMU_KIND_ADMIN, 0, "");
  std::vector<uint8_t> both = a;
  both.insert(both.end(), b.begin(), b.end());
  emu_frame_reader r;
  size_t used;
  ASSERT_EQ(emu_frame_feed(&r, both.data(), both.size(), &used), emu_feed::frame);
  EXPECT_EQ(used, a.size());
  EXPECT_EQ(emu_frame_body_size(r), 7u);
  emu_frame_reset(&r);
  ASSERT_EQ(emu_frame_feed(&r, both.data() + used, both.size() - used, &used), emu_feed::frame);
  EXPECT_EQ(used, b.size());
  EXPECT_EQ(emu_frame_body_size(r), 0u);
}

struct bad_head_case {
  const char* what;
  std::vector<uint8_t> bytes;
};

class FrameReaderBadHead : public testing::TestWithParam<bad_head_case> {};

INSTANTIATE_TEST_SUITE_P(
    , FrameReaderBadHead,
    testing::Values(bad_head_case{"wrong_magic", frame(FWEMU_KIND_GET, 8, "", 0x31455747)},
                    bad_head_case{"kind_0", frame(0, 8, "")}, bad_head_case{"kind_3", frame(3, 8, "")},
                    bad_head_case{"more_sent_than_optlen", frame(FWEMU_KIND_GET, 2, "abc")},
                    bad_head_case{"command_past_the_limit",
                                  frame(FWEMU_KIND_ADMIN, 0, std::string(EMU_ADMIN_MAX + 1, 'x'))}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_P(FrameReaderBadHead, IsRefusedAtTheHead) {
  const auto& bytes = GetParam().bytes;
  emu_frame_reader r;
  size_t used;
  EXPECT_EQ(emu_frame_feed(&r, bytes.data(), bytes.size(), &used), emu_feed::bad);
  EXPECT_EQ(used, sizeof(fwemu_request_head));
}

}  // namespace
