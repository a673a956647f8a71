#
# simdjson for tarq_engine: the upstream amalgamated header and source at a
# fixed release, fetched and compiled by CocoaPods. simdjson publishes no pod
# of its own, so the application's Podfile points at this file (see the
# README).
#
Pod::Spec.new do |s|
  s.name                = 'simdjson'
  s.version             = '3.0.1'
  s.summary             = 'Parsing gigabytes of JSON per second'
  s.homepage            = 'https://simdjson.org'
  s.license             = { :type => 'Apache-2.0', :file => 'LICENSE' }
  s.author              = { 'The simdjson authors' => 'https://github.com/simdjson/simdjson' }
  s.source              = { :git => 'https://github.com/simdjson/simdjson.git', :tag => "v#{s.version}" }

  s.osx.deployment_target = '13.0'
  s.source_files        = 'singleheader/simdjson.{h,cpp}'
  s.public_header_files = 'singleheader/simdjson.h'
  s.libraries           = 'c++'
  # Unoptimised, simdjson is many times slower; the plug-in parses about
  # 4.5 MB a second with 10,000 open connections, even in debug builds.
  s.compiler_flags      = '-O3'
  s.pod_target_xcconfig = {
    'CLANG_CXX_LANGUAGE_STANDARD' => 'c++17',
    'CLANG_CXX_LIBRARY' => 'libc++',
  }
end
