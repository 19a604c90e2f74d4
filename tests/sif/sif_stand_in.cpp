#include "sif/sif_stand_in.hpp"

#include <chrono>
#include <memory>
#include <thread>

#include "sif/xlsx_builder.hpp"

namespace vendro::testing {

namespace {

const char* XLSX_TYPE = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet";

// What is wrong with `payload` for `path`, or "" when it is what the service expects.
std::string payload_problem(const std::string& path, const Json& payload) {
  if (!payload.is_object()) return "payload must be an object";
  if (!payload.contains("asins") || !payload["asins"].is_array() || payload["asins"].size() < 2) {
    return "asins must be a list of at least 2";
  }
  for (const Json& asin : payload["asins"]) {
    if (!asin.is_string() || asin.get<std::string>().empty()) return "asins must be text";
  }
  for (const char* key : {"timePieceType", "timePieceValue"}) {
    if (payload.contains(key) && !payload[key].is_string()) return std::string(key) + " not text";
  }
  auto positive_int = [&](const char* key) {
    return payload.contains(key) && payload[key].is_number_integer() && payload[key].get<int>() > 0;
  };
  auto one_or_two = [&](const char* key) {
    return payload.contains(key) && payload[key].is_number_integer() &&
           (payload[key] == 1 || payload[key] == 2);
  };
  if (path == "/api/compare/sales/export") {
    if (!positive_int("pageSize")) return "sales needs pageSize";
  } else if (path == "/api/compare/summary/export") {
    if (!one_or_two("showType")) return "summary needs showType 1 or 2";
    if (payload.contains("pageSize")) return "summary takes no pageSize";
  } else {
    if (!one_or_two("listType")) return "my keywords need listType 1 or 2";
    if (!positive_int("pageSize")) return "my keywords need pageSize";
  }
  return "";
}

}  // namespace

SifStandIn::SifStandIn(Options options) : options_(std::move(options)) {
  auto handler = [this](const httplib::Request& req, httplib::Response& res) {
    SifSeenRequest seen{.path = req.path,
                        .country = req.get_param_value("country"),
                        .authorization = req.get_header_value("Authorization"),
                        .cookie = req.get_header_value("Cookie"),
                        .payload = Json::parse(req.body, nullptr, false)};
    std::size_t number;
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(seen);
      number = requests_.size();
    }
    if (options_.expected_authorization && seen.authorization != *options_.expected_authorization) {
      res.status = 401;
      res.set_content(R"({"code":401,"message":"未登录"})", "application/json");
      return;
    }
    if (static_cast<int>(number) == options_.fail_on_request) {
      res.status = 500;
      res.set_content(R"({"code":500,"message":"导出服务繁忙"})", "application/json");
      return;
    }
    if (std::string problem = payload_problem(req.path, seen.payload); !problem.empty()) {
      res.status = 400;
      res.set_content(Json{{"code", 400}, {"message", problem}}.dump(), "application/json");
      return;
    }
    res.set_content(make_xlsx(req.path + " " + seen.payload.dump()), XLSX_TYPE);
  };
  for (const char* path : {"/api/compare/sales/export", "/api/compare/summary/export",
                           "/api/compare/my-keywords/export"}) {
    server_.server().Post(path, handler);
  }
  server_.start();
  // Stopping a server whose thread has not begun listening yet would leave it listening forever,
  // so a stand-in that no request reaches must not be torn down before that point.
  while (!server_.server().is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::vector<SifSeenRequest> SifStandIn::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

IsolatedSifConfig::IsolatedSifConfig() : config_("VENDRO_CONFIG_DIR", dir_.path().string()) {
  for (const char* name : {"VENDRO_SIF_BASE_URL", "VENDRO_SIF_COOKIE", "VENDRO_SIF_TOKEN",
                           "VENDRO_SIF_USERNAME", "VENDRO_SIF_PASSWORD", "VENDRO_SIF_OUTPUT_DIR"}) {
    cleared_.push_back(std::make_unique<ScopedEnv>(name, std::nullopt));
  }
}

void IsolatedSifConfig::write_settings(const std::string& yaml) const {
  write_file(dir_.path() / "sif" / "settings.yaml", yaml);
}

}  // namespace vendro::testing
