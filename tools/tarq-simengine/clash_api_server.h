// The stand-in's Clash API: the endpoints the plug-in calls, answered as
// sing-box answers them, on the loopback address of the configuration.
//
//   GET  /version          {"version": ..., "premium": true, "meta": true}
//   GET  /proxies/{group}  the group, with "now" and "all" for a selector
//   PUT  /proxies/{group}  {"name": TAG}: 204, 400 or 404
//   GET  /connections      totals and synthetic connections
//
// With a non-empty secret every request needs "Authorization: Bearer SECRET",
// else 401 {"message":"Unauthorized"}.
//
// Thread safety: serve() runs on one thread; stop() may be called from any
// other, also before serve() has begun.
#ifndef TARQ_TOOLS_SIMENGINE_CLASH_API_SERVER_H_
#define TARQ_TOOLS_SIMENGINE_CLASH_API_SERVER_H_

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "engine_config.h"
#include "synthetic_traffic.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace tarq {

class ClashApiServer {
 public:
  using Log = std::function<void(const std::string& line)>;

  ClashApiServer(EngineConfig config, int connections, Log log);
  ~ClashApiServer();
  ClashApiServer(const ClashApiServer&) = delete;
  ClashApiServer& operator=(const ClashApiServer&) = delete;

  // Binds the configured address; returns the port (the one the system chose
  // when the configuration asks for port 0). Throws EngineConfigError.
  int bind();

  // Serves until stop(); returns whether it ended without a failure.
  bool serve();
  void stop();

 private:
  void route();
  bool authorised(const httplib::Request& request) const;
  void putProxy(const httplib::Request& request, httplib::Response& response);
  void getProxy(const httplib::Request& request, httplib::Response& response);
  void getConnections(httplib::Response& response);
  size_t rankOfSelected() const;  // of kSelectorGroup; with mutex_ held

  const EngineConfig config_;
  const Log log_;
  std::unique_ptr<httplib::Server> server_;

  std::mutex mutex_;                             // guards what follows
  std::map<std::string, std::string> selected_;  // group -> member
  SyntheticTraffic traffic_;
};

}  // namespace tarq

#endif  // TARQ_TOOLS_SIMENGINE_CLASH_API_SERVER_H_
