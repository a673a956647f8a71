// Stub of <MacTypes.h>, which Core Foundation brings into every file that
// imports Foundation or Cocoa: the classic Mac OS scalar and record types, as
// the SDK names them for 64-bit code. They are global names, so the bridge
// must not define or use unqualified names of its own that collide with them
// (Point, Rect, Size, Style, Byte, Boolean, Handle, Ptr, ...).
#ifndef TARQ_STUB_MACTYPES_H_
#define TARQ_STUB_MACTYPES_H_

typedef unsigned char UInt8;
typedef signed char SInt8;
typedef unsigned short UInt16;
typedef signed short SInt16;
typedef unsigned int UInt32;
typedef signed int SInt32;
typedef unsigned long long UInt64;
typedef signed long long SInt64;

typedef SInt32 Fixed;
typedef Fixed* FixedPtr;
typedef SInt32 Fract;
typedef UInt32 UnsignedFixed;
typedef short ShortFixed;
typedef float Float32;
typedef double Float64;

typedef char* Ptr;
typedef Ptr* Handle;
typedef long Size;

typedef SInt16 OSErr;
typedef SInt32 OSStatus;
typedef UInt32 FourCharCode;
typedef FourCharCode OSType;
typedef FourCharCode ResType;

typedef unsigned char Boolean;
typedef UInt8 Byte;
typedef SInt8 SignedByte;
typedef UInt16 UniChar;
typedef UInt32 UTF32Char;

typedef unsigned char Str255[256];
typedef unsigned char* StringPtr;
typedef const unsigned char* ConstStringPtr;
typedef unsigned char Style;

struct Point {
  short v;
  short h;
};
typedef struct Point Point;

struct Rect {
  short top;
  short left;
  short bottom;
  short right;
};
typedef struct Rect Rect;

enum { noErr = 0 };
enum { kNilOptions = 0 };

#endif  // TARQ_STUB_MACTYPES_H_
