// SPDX-License-Identifier: BSD-2-Clause
#include "conform/conform_target.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// An info request for name in layout L.
template <typename L>
int info_as(const conform_target& t, const std::string& name, ipfw_xtable_info* info) {
  uint8_t buf[FW_INFO_REQUEST_SIZE] = {};
  typename L::obj_header oh;
  memset(&oh, 0, sizeof oh);
  oh.opheader.opcode = IP_FW_TABLE_XINFO;
  oh.opheader.version = L::version(IP_FW_TABLE_XINFO);
  oh.idx = 1;
  oh.ntlv.head.type = IPFW_TLV_TBL_NAME;
  oh.ntlv.head.length = sizeof oh.ntlv;
  oh.ntlv.idx = 1;
  memcpy(oh.ntlv.name, name.data(), std::min(name.size(), sizeof oh.ntlv.name - 1));
  memcpy(buf, &oh, sizeof oh);
  uint32_t len = sizeof buf;
  errno = 0;
  if (t.get(t.get_ctx, buf, &len) != 0) return errno != 0 ? errno : EIO;
  if (len < sizeof buf) return EPROTO;
  memcpy(info, buf + sizeof oh, sizeof *info);
  return 0;
}

}  // namespace

bool conform_prefix_ok(const std::string& prefix) {
  if (prefix.empty() || prefix.size() > 20) return false;
  for (char c : prefix)
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
          c == '.' || c == '-'))
      return false;
  return true;
}

std::string conform_table_name(const std::string& prefix, table_role role) {
  std::string long_name = prefix + "-" + std::string(IPFW_TABLE_NAME_MAX - prefix.size() - 1, 'n');
  switch (role) {
    case table_role::main:
      return prefix + "-t";
    case table_role::set:
      return prefix + "-s";
    case table_role::missing:
      return prefix + "-g";
    case table_role::name63:
      return long_name;
    case table_role::name64:
      return long_name + "n";
    case table_role::empty:
      return "";
    case table_role::odd:
      return prefix + " b\x01";
    case table_role::a:
      return prefix + "-a";
    case table_role::b:
      return prefix + "-b";
    case table_role::c:
      return prefix + "-c";
  }
  return "";
}

std::vector<std::string> conform_names_in_use(const std::string& prefix) {
  std::vector<std::string> names;
  for (table_role r : {table_role::main, table_role::set, table_role::missing, table_role::name63,
                       table_role::a, table_role::b, table_role::c})
    names.push_back(conform_table_name(prefix, r));
  return names;
}

std::vector<std::string> conform_admin_words(const std::string& prefix, const std::string& command) {
  struct placeholder {
    const char* word;
    table_role role;
  };
  static const placeholder places[] = {{"{t}", table_role::main},   {"{s}", table_role::set},
                                       {"{l}", table_role::name63}, {"{a}", table_role::a},
                                       {"{b}", table_role::b},      {"{c}", table_role::c}};
  std::vector<std::string> words;
  size_t at = 0;
  while (at < command.size()) {
    size_t end = command.find(' ', at);
    if (end == std::string::npos) end = command.size();
    std::string w = command.substr(at, end - at);
    for (const placeholder& p : places)
      if (w == p.word) w = conform_table_name(prefix, p.role);
    if (!w.empty()) words.push_back(w);
    at = end + 1;
  }
  return words;
}

int conform_info(const conform_target& t, const std::string& name, ipfw_xtable_info* info) {
  return t.abi == 14 ? info_as<fw14::layout>(t, name, info) : info_as<fw15::layout>(t, name, info);
}

void conform_clean(const conform_target& t) {
  for (const std::string& name : conform_names_in_use(t.prefix)) {
    ipfw_xtable_info info;
    if (conform_info(t, name, &info) != 0) continue;
    if ((info.flags & IPFW_TGFLAGS_LOCKED) != 0) t.admin({"table", name, "unlock"});
    t.admin({"table", name, "destroy"});
  }
}

std::string conform_errno_name(int err) {
  switch (err) {
    case 0:
      return "success";
    case EINVAL:
      return "EINVAL";
    case ESRCH:
      return "ESRCH";
    case ENOENT:
      return "ENOENT";
    case ENOMEM:
      return "ENOMEM";
    case EACCES:
      return "EACCES";
    case EEXIST:
      return "EEXIST";
    case EFBIG:
      return "EFBIG";
    case ENOTSUP:
      return "ENOTSUP";
    case EPERM:
      return "EPERM";
    case EPROTO:
      return "EPROTO";
    default:
      return "errno " + std::to_string(err);
  }
}
