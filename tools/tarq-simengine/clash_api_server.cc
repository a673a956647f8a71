#include "clash_api_server.h"

#include <errno.h>
#include <httplib.h>
#include <string.h>

#include <algorithm>
#include <nlohmann/json.hpp>

namespace tarq {
namespace {

using nlohmann::json;

constexpr size_t kMaxBodyBytes = 64 * 1024;

void reply(httplib::Response& response, int status, const json& body) {
  response.status = status;
  // sing-box ends its replies with a line feed.
  response.set_content(body.dump() + "\n", "application/json");
}

void message(httplib::Response& response, int status, const std::string& text) {
  reply(response, status, {{"message", text}});
}

}  // namespace

ClashApiServer::ClashApiServer(EngineConfig config, int connections, Log log)
    : config_(std::move(config)),
      log_(std::move(log)),
      server_(std::make_unique<httplib::Server>()),
      traffic_(connections, SyntheticTraffic::Clock::now()) {
  for (const auto& [tag, group] : config_.selectors) {
    selected_[tag] = group.initial;
  }
  route();
}

ClashApiServer::~ClashApiServer() = default;

int ClashApiServer::bind() {
  errno = 0;
  int port = config_.port == 0
                 ? server_->bind_to_any_port(config_.host)
                 : (server_->bind_to_port(config_.host, config_.port) ? config_.port : -1);
  if (port < 0) {
    int error = errno;
    throw EngineConfigError("cannot listen on " + config_.host + ":" +
                            std::to_string(config_.port) + ": " +
                            (error != 0 ? strerror(error) : "the address is not available"));
  }
  return port;
}

bool ClashApiServer::serve() {
  return server_->listen_after_bind();
}

void ClashApiServer::stop() {
  server_->stop();
}

void ClashApiServer::route() {
  // Like sing-box, and unlike cpp-httplib's default (SO_REUSEPORT), a second
  // engine on a taken address fails instead of sharing the port unnoticed.
  server_->set_socket_options([](socket_t socket) {
    int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server_->set_payload_max_length(kMaxBodyBytes);
  server_->set_pre_routing_handler(
      [this](const httplib::Request& request, httplib::Response& response) {
        if (authorised(request)) {
          return httplib::Server::HandlerResponse::Unhandled;
        }
        message(response, 401, "Unauthorized");
        return httplib::Server::HandlerResponse::Handled;
      });
  server_->Get("/version", [](const httplib::Request&, httplib::Response& response) {
    reply(response, 200,
          {{"version", "sing-box stand-in tarq-simengine " TARQ_VERSION},
           {"premium", true},
           {"meta", true}});
  });
  server_->Put(R"(/proxies/([^/]+))",
               [this](const httplib::Request& request, httplib::Response& response) {
                 putProxy(request, response);
               });
  server_->Get(R"(/proxies/([^/]+))",
               [this](const httplib::Request& request, httplib::Response& response) {
                 getProxy(request, response);
               });
  server_->Get("/connections", [this](const httplib::Request&, httplib::Response& response) {
    getConnections(response);
  });
}

// The header is split at its first space; the first word must be exactly
// "Bearer" and the rest the secret. An empty secret switches this off.
bool ClashApiServer::authorised(const httplib::Request& request) const {
  if (config_.secret.empty()) {
    return true;
  }
  std::string header = request.get_header_value("Authorization");
  auto space = header.find(' ');
  if (space == std::string::npos) {
    return false;
  }
  return header.substr(0, space) == "Bearer" && header.substr(space + 1) == config_.secret;
}

void ClashApiServer::putProxy(const httplib::Request& request, httplib::Response& response) {
  const std::string group = request.matches[1];
  auto type = config_.outboundTypes.find(group);
  if (type == config_.outboundTypes.end()) {
    message(response, 404, "Resource not found");
    return;
  }
  auto selector = config_.selectors.find(group);
  if (selector == config_.selectors.end()) {
    message(response, 400, "Must be a Selector");
    return;
  }
  json body = json::parse(request.body, nullptr, /*allow_exceptions=*/false);
  if (!body.is_object()) {
    message(response, 400, "Body invalid");
    return;
  }
  auto nameMember = body.find("name");
  if (nameMember != body.end() && !nameMember->is_string()) {
    message(response, 400, "Body invalid");
    return;
  }
  std::string name = nameMember == body.end() ? "" : nameMember->get<std::string>();
  const auto& members = selector->second.members;
  if (std::find(members.begin(), members.end(), name) == members.end()) {
    message(response, 400, "Selector update error: not found");
    return;
  }
  {
    std::lock_guard lock(mutex_);
    // Traffic so far counts at the old outbound's rate.
    traffic_.advance(SyntheticTraffic::Clock::now(), rankOfSelected());
    selected_[group] = name;
  }
  log_("selector \"" + group + "\" now uses \"" + name + "\"");
  response.status = 204;
}

void ClashApiServer::getProxy(const httplib::Request& request, httplib::Response& response) {
  const std::string group = request.matches[1];
  auto type = config_.outboundTypes.find(group);
  if (type == config_.outboundTypes.end()) {
    message(response, 404, "Resource not found");
    return;
  }
  json body = {{"name", group}, {"type", type->second}, {"history", json::array()}, {"udp", true}};
  auto selector = config_.selectors.find(group);
  if (selector != config_.selectors.end()) {
    std::lock_guard lock(mutex_);
    body["type"] = "Selector";
    body["now"] = selected_[group];
    body["all"] = selector->second.members;
  }
  reply(response, 200, body);
}

void ClashApiServer::getConnections(httplib::Response& response) {
  json body;
  {
    std::lock_guard lock(mutex_);
    traffic_.advance(SyntheticTraffic::Clock::now(), rankOfSelected());
    body = traffic_.connectionsReply(selected_[kSelectorGroup], kSelectorGroup);
  }
  reply(response, 200, body);
}

size_t ClashApiServer::rankOfSelected() const {
  const auto& members = config_.selectors.at(kSelectorGroup).members;
  auto found = std::find(members.begin(), members.end(), selected_.at(kSelectorGroup));
  return static_cast<size_t>(found - members.begin());
}

}  // namespace tarq
