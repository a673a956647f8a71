#
# The tarq_engine plug-in for Flutter on macOS: the Objective-C++ bridge in
# Classes/ and the C++ core of ../src. A podspec cannot list files above its
# own folder, so each core source is compiled through a one-line forwarding
# file Classes/core_<subsystem>_<name>.cc (../check.sh keeps them complete).
#
# nlohmann-json comes from CocoaPods, as the podspec in podspecs/ describes
# it (see docs/macos.md for the Podfile line); libcurl is the SDK's.
# CoreFoundation is named for CFGetTypeID, which the bridge calls to tell
# booleans from numbers. Only the Objective-C header is public, so no C++
# reaches the module.
#
Pod::Spec.new do |s|
  s.name             = 'tarq_engine'
  s.version          = '0.1.0'
  s.summary          = 'Controls a local sing-box tunnel through a privileged helper daemon.'
  s.description      = <<-DESC
The native side of the tarq_engine Flutter plug-in: registers the helper daemon
with ServiceManagement, starts and stops sing-box through it, and streams the
engine's state and traffic counters to Dart.
                       DESC
  s.homepage         = 'https://orvek.dev'
  s.license          = { :type => 'Proprietary' }
  s.author           = { 'Orvek' => 'https://orvek.dev' }
  s.source           = { :path => '.' }

  s.platform         = :osx, '13.0'
  s.requires_arc     = true
  s.source_files     = 'Classes/**/*.{h,mm,cc}'
  s.public_header_files = 'Classes/TarqEnginePlugin.h'

  s.dependency 'FlutterMacOS'
  s.dependency 'nlohmann_json', '3.11.2'
  s.frameworks       = 'CoreFoundation', 'Foundation', 'ServiceManagement'
  s.libraries        = 'c++', 'curl'

  s.pod_target_xcconfig = {
    'DEFINES_MODULE' => 'YES',
    'CLANG_CXX_LANGUAGE_STANDARD' => 'c++20',
    'CLANG_CXX_LIBRARY' => 'libc++',
    'CLANG_ENABLE_OBJC_ARC' => 'YES',
    # The core includes its headers from the src/ root ("helper/helper_client.h")
    # and the library as <nlohmann/json.hpp>, which holds whether or not the
    # application builds its pods as frameworks.
    'HEADER_SEARCH_PATHS' => [
      '"$(PODS_TARGET_SRCROOT)/../src"',
      '"$(PODS_ROOT)/nlohmann_json/single_include"',
    ].join(' '),
  }
end
