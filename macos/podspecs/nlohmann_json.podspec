#
# nlohmann-json for tarq_engine: the upstream single header at a fixed
# release, fetched by CocoaPods. CocoaPods' trunk stops at an older release,
# so the application's Podfile points at this file (see the README).
#
Pod::Spec.new do |s|
  s.name                = 'nlohmann_json'
  s.version             = '3.11.2'
  s.summary             = 'JSON for Modern C++'
  s.homepage            = 'https://github.com/nlohmann/json'
  s.license             = { :type => 'MIT', :file => 'LICENSE.MIT' }
  s.author              = { 'Niels Lohmann' => 'mail@nlohmann.me' }
  s.source              = { :git => 'https://github.com/nlohmann/json.git', :tag => "v#{s.version}" }

  s.osx.deployment_target = '13.0'
  s.source_files        = 'single_include/nlohmann/*.hpp'
  s.public_header_files = 'single_include/nlohmann/*.hpp'
  s.header_mappings_dir = 'single_include'
end
