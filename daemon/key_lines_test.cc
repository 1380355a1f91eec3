// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/key_lines.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// What the reader makes of an input: each line as "N:text", or "N:too
// long", "N:nul", then "end".
std::vector<std::string> read_all(const std::string& input) {
  char path[] = "/tmp/key_lines_test.XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  unlink(path);
  EXPECT_EQ(write(fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  lseek(fd, 0, SEEK_SET);
  static line_reader r;
  r = line_reader{};
  r.fd = fd;
  std::vector<std::string> got;
  char text[KEY_LINE_MAX + 1];
  for (;;) {
    bool nul = false;
    const read_status s = read_key_line(&r, text, &nul, nullptr);
    const std::string n = std::to_string(r.number) + ":";
    if (s == read_status::end) break;
    if (s == read_status::too_long)
      got.push_back(n + "too long");
    else if (nul)
      got.push_back(n + "nul");
    else if (s == read_status::line)
      got.push_back(n + text);
    else
      got.push_back("error");
  }
  got.push_back("end");
  close(fd);
  return got;
}

TEST(KeyLines, LinesAreReadWithinTheirBoundWhateverTheInput) {
  const std::string longest(KEY_LINE_MAX, 'x');
  // Lines that cross the reader's buffer: one line longer than it.
  const std::string huge(40000, 'y');
  struct row {
    std::string input;
    std::vector<std::string> lines;
  };
  const std::vector<row> rows = {
      {"", {"end"}},
      {"a\nb\n", {"1:a", "2:b", "end"}},
      {"a\nb", {"1:a", "2:b", "end"}},  // the last line without its line feed
      {"a\r\n\r\n\n", {"1:a", "2:", "3:", "end"}},
      {longest + "\n" + longest + "z\nc\n", {"1:" + longest, "2:too long", "3:c", "end"}},
      {huge + "\nd", {"1:too long", "2:d", "end"}},
      {huge, {"1:too long", "end"}},
      {std::string("a\0b\nc\n", 6), {"1:nul", "2:c", "end"}},
  };
  for (size_t i = 0; i < rows.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(read_all(rows[i].input), rows[i].lines);
  }
}

TEST(KeyLines, FieldsOfALine) {
  struct row {
    std::string line;
    const char* key;
    const char* lifetime;
    bool more;
  };
  const std::vector<row> rows = {
      {"192.0.2.1", "192.0.2.1", nullptr, false},
      {"  192.0.2.1\t 1h  ", "192.0.2.1", "1h", false},
      {"192.0.2.1 1h x", "192.0.2.1", "1h", true},
      {"", nullptr, nullptr, false},
      {" \t ", nullptr, nullptr, false},
      {"  # a comment 192.0.2.1", nullptr, nullptr, false},
      {"192.0.2.1#x", "192.0.2.1#x", nullptr, false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.line);
    std::string text = r.line;
    line_fields f = split_key_line(text.data());
    EXPECT_STREQ(f.key, r.key);
    EXPECT_STREQ(f.lifetime, r.lifetime);
    EXPECT_EQ(f.more, r.more);
  }
}

// A pipe with nothing in it is not ready; one with a line, or closed, is.
TEST(KeyLines, ReadyOnlyWhenALineOrTheEndCanBeHadAtOnce) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  static line_reader r;
  r = line_reader{};
  r.fd = p[0];
  EXPECT_FALSE(key_line_ready(&r));
  ASSERT_EQ(write(p[1], "a\nb\n", 4), 4);
  EXPECT_TRUE(key_line_ready(&r));
  char text[KEY_LINE_MAX + 1];
  bool nul;
  ASSERT_EQ(read_key_line(&r, text, &nul, nullptr), read_status::line);
  EXPECT_TRUE(key_line_ready(&r)) << "b is buffered";
  ASSERT_EQ(read_key_line(&r, text, &nul, nullptr), read_status::line);
  EXPECT_FALSE(key_line_ready(&r));
  close(p[1]);
  EXPECT_TRUE(key_line_ready(&r));
  EXPECT_EQ(read_key_line(&r, text, &nul, nullptr), read_status::end);
  close(p[0]);
}

}  // namespace
