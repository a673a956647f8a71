// tarqctl: the command-line host of the TARQ plug-in. It registers the
// plug-in on the in-process host exactly as a Flutter application's embedding
// would, and plays Dart: `tarqctl channel` speaks the two channels as JSON
// lines, the other commands make one call each for a person.
#include <curl/curl.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <iostream>

#include "channel.h"
#include "commands.h"
#include "engine_session.h"
#include "helper/socket_transport.h"

int main(int argc, char** argv) {
  // Writing to a reader that went away must fail, not kill the host.
  signal(SIGPIPE, SIG_IGN);
  // libcurl asks the program to initialise it on the main thread before any
  // other thread runs. Left to the plug-in's first Clash API client, the
  // initialisation would happen on the plug-in's work queue and leave
  // OpenSSL's per-thread state with a thread that may outlive main().
  curl_global_init(CURL_GLOBAL_DEFAULT);

  tarq::CommonOptions common;
  common.socketPath = tarq::kHelperSocketPath;
  CLI::App app{
      "The command-line host of the TARQ engine plug-in: it runs the plug-in in-process, as a\n"
      "Flutter application would, and calls it on \"orvek/engine\". The plug-in reaches the\n"
      "helper daemon on its Unix socket and the engine's Clash API on 127.0.0.1.",
      "tarqctl"};
  app.require_subcommand(1, 1);
  app.fallthrough();
  app.add_option("--socket", common.socketPath, "The helper daemon's socket")
      ->capture_default_str();
  app.add_flag("--json", common.json, "Print the channel's JSON lines instead of text");
  app.set_version_flag("--version", std::string("tarqctl ") + TARQ_VERSION);

  CLI::App* channel = app.add_subcommand(
      "channel",
      "Connect the channels to standard input and output, one JSON object per line:\n"
      "  in:  {\"id\": ID, \"method\": NAME, \"arguments\": ARGS}, {\"listen\": ARGS}, "
      "{\"cancel\": ARGS}\n"
      "  out: {\"id\": ID, \"result\": V}, {\"id\": ID, \"error\": {\"code\", \"message\", "
      "\"details\"}},\n"
      "       {\"id\": ID, \"notImplemented\": true}, {\"event\": V}, {\"protocolError\": TEXT}\n"
      "At the end of the input, waits for every answer and exits.");
  CLI::App* prepare =
      app.add_subcommand("prepare", "Register the helper if needed; say whether it can be used");
  CLI::App* status = app.add_subcommand("status", "Show the engine state, as the helper sees it");
  CLI::App* helperStatus =
      app.add_subcommand("helper-status", "Show whether the helper answers and runs the engine");

  tarq::StartOptions start;
  CLI::App* startCommand = app.add_subcommand(
      "start",
      "Start the tunnel with a sing-box configuration. --clash-port and --clash-secret default\n"
      "to the configuration's experimental.clash_api. With --follow, stay: show the state and\n"
      "the live traffic, take commands typed on standard input (select TAG, status,\n"
      "helper-status, stop, quit), and stop the tunnel on Ctrl-C.");
  startCommand->add_option("CONFIG_FILE", start.configFile, "sing-box configuration")
      ->required()
      ->check(CLI::ExistingFile);
  startCommand->add_option("--selected", start.selected, "Outbound of the \"tarq\" selector")
      ->capture_default_str();
  startCommand->add_option("--clash-port", start.clashPort, "Port of the Clash API")
      ->check(CLI::Range(0, 65535));
  startCommand->add_option("--clash-secret", start.clashSecret, "Secret of the Clash API");
  startCommand->add_flag("--follow", start.follow, "Stay and show the live traffic");

  std::string tag;
  CLI::App* select = app.add_subcommand(
      "select",
      "Switch the outbound of the \"tarq\" selector. Only the process that started the tunnel\n"
      "can: type it in the session of \"start --follow\" (here it reports that the tunnel is\n"
      "not running).");
  select->add_option("TAG", tag, "Outbound tag")->required();
  CLI::App* stop = app.add_subcommand("stop", "Stop the tunnel");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }

  if (channel->parsed()) {
    tarq::EngineSession session(common.socketPath);
    return tarq::runChannel(session, std::cin, stdout);
  }
  if (prepare->parsed()) {
    return tarq::runPrepare(common);
  }
  if (status->parsed()) {
    return tarq::runStatus(common);
  }
  if (helperStatus->parsed()) {
    return tarq::runHelperStatus(common);
  }
  if (startCommand->parsed()) {
    return tarq::runStart(common, start);
  }
  if (select->parsed()) {
    return tarq::runSelect(common, tag);
  }
  if (stop->parsed()) {
    return tarq::runStop(common);
  }
  return 2;
}
