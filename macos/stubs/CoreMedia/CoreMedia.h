// Stub of <CoreMedia/CoreMedia.h>: only the Core Video buffer types that
// FlutterTexture.h names.
#ifndef TARQ_STUB_COREMEDIA_H_
#define TARQ_STUB_COREMEDIA_H_

#import <CoreFoundation/CoreFoundation.h>

typedef struct __CVBuffer* CVBufferRef;
typedef CVBufferRef CVImageBufferRef;
typedef CVImageBufferRef CVPixelBufferRef;

#endif  // TARQ_STUB_COREMEDIA_H_
