#include "state_file.h"

#include <cstdio>

#include "tervlink/host/host.h"

std::string StatePath(const DeviceState& state, const char* name) {
  return state.config.stateDir + "/" + name;
}

bool ReadStateFile(const std::string& path, std::vector<uint8_t>& out) {
  out.clear();
  FILE* f = host::OpenFile(path.c_str(), "rb");
  if (!f) return false;
  uint8_t buf[4096];
  size_t n = 0;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

bool WriteStateFile(const std::string& path, const std::vector<uint8_t>& data) {
  return host::WriteFileAtomic(path, data.data(), data.size());
}
