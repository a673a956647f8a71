// Stub of <FlutterMacOS/FlutterMacOS.h>, the framework's umbrella header. The
// headers for the application side (FlutterAppDelegate.h, FlutterDartProject.h,
// FlutterEngine.h, FlutterViewController.h) are left out: a plug-in reaches
// Flutter only through its registrar, the channels and the codecs.
#ifndef TARQ_STUB_FLUTTERMACOS_H_
#define TARQ_STUB_FLUTTERMACOS_H_

#import "FlutterBinaryMessenger.h"
#import "FlutterChannels.h"
#import "FlutterCodecs.h"
#import "FlutterMacros.h"
#import "FlutterPluginMacOS.h"
#import "FlutterPluginRegistrarMacOS.h"
#import "FlutterTexture.h"

#endif  // TARQ_STUB_FLUTTERMACOS_H_
