#include "json.h"

#include <msgpuck.h>

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "common/report_reader.h"

namespace drel::report {
namespace {

// Converts the MessagePack value at *p (already validated by decode_report) to JSON.
nlohmann::ordered_json to_json(const char** p, const char* end) {
  using Json = nlohmann::ordered_json;
  if (*p >= end) throw std::runtime_error("unexpected end of data");
  switch (mp_typeof(**p)) {
    case MP_NIL:
      mp_decode_nil(p);
      return nullptr;
    case MP_BOOL:
      return mp_decode_bool(p);
    case MP_UINT:
      return mp_decode_uint(p);
    case MP_INT:
      return mp_decode_int(p);
    case MP_FLOAT:
      return mp_decode_float(p);
    case MP_DOUBLE:
      return mp_decode_double(p);
    case MP_STR: {
      uint32_t len = 0;
      const char* s = mp_decode_str(p, &len);
      return std::string(s, len);
    }
    case MP_ARRAY: {
      Json arr = Json::array();
      const uint32_t n = mp_decode_array(p);
      for (uint32_t i = 0; i < n; ++i) arr.push_back(to_json(p, end));
      return arr;
    }
    case MP_MAP: {
      Json obj = Json::object();
      const uint32_t n = mp_decode_map(p);
      for (uint32_t i = 0; i < n; ++i) {
        if (mp_typeof(**p) != MP_STR) throw std::runtime_error("map key is not a string");
        uint32_t len = 0;
        const char* k = mp_decode_str(p, &len);
        obj[std::string(k, len)] = to_json(p, end);
      }
      return obj;
    }
    default:
      throw std::runtime_error("value of a type reports do not hold");
  }
}

}  // namespace

Result<std::string> render_json(std::span<const uint8_t> bytes) {
  auto decoded = decode_report(bytes);
  if (!decoded) return std::move(decoded).error();
  try {
    const char* p = reinterpret_cast<const char*>(bytes.data());
    const auto json = to_json(&p, p + bytes.size());
    return json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  } catch (const std::exception& e) {
    return Error(e.what());
  }
}

int run_json(const Options&, const std::vector<LoadedReport>& reports, Output& output) {
  auto json = render_json(reports.front().bytes);
  if (!json) {
    output.err = "drel-report: " + reports.front().name + ": " + json.error().text() + "\n";
    return 1;
  }
  output.out = *json + "\n";
  return 0;
}

}  // namespace drel::report
