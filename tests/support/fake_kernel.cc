// SPDX-License-Identifier: BSD-2-Clause
#include "tests/support/fake_kernel.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "fwtable/fw_records.h"
#include "tests/support/fake_platform.h"

namespace {

int fake_handler(void* ctx, void* buf, uint32_t* len) {
  auto* fk = static_cast<fake_kernel*>(ctx);
  auto* bytes = static_cast<uint8_t*>(buf);
  fake_kernel::request r;
  ip_fw3_opheader op;
  memcpy(&op, buf, sizeof op);
  r.opcode = op.opcode;
  r.len = *len;
  r.bytes.assign(bytes, bytes + *len);
  int rc = fk->answer ? fk->answer(op.opcode, bytes, len) : emu_store_get(fk->store, buf, len);
  int saved = errno;
  r.result = rc;
  r.error = rc == 0 ? 0 : saved;
  // As getsockopt: a failed request's length is never copied back, whatever
  // a scripted answer set it to.
  if (rc != 0) *len = r.len;
  r.len_out = *len;
  fk->requests.push_back(std::move(r));
  errno = saved;
  return rc;
}

}  // namespace

fake_kernel::fake_kernel() : store(emu_store_new()), scope_(with_fwctl(fake_handler, this)) {}

fake_kernel::~fake_kernel() { emu_store_free(store); }

int store_admin(emu_store* store, const std::string& words, std::string* out) {
  std::vector<std::string> w;
  std::istringstream in(words);
  for (std::string s; in >> s;) w.push_back(s);
  std::string text;
  int status = emu_store_admin(store, w, &text);
  if (out != nullptr) *out = text;
  return status;
}

int fake_kernel::admin_status(const std::string& words, std::string* out) {
  return store_admin(store, words, out);
}

std::string fake_kernel::admin(const std::string& words) {
  std::string text;
  int status = admin_status(words, &text);
  EXPECT_EQ(status, 0) << "fwemu " << words << ": " << text;
  return text;
}

std::vector<fake_kernel::request> fake_kernel::requests_of(uint16_t opcode) const {
  std::vector<request> out;
  for (const auto& r : requests)
    if (r.opcode == opcode) out.push_back(r);
  return out;
}
