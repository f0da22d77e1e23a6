// Export switch of veskolib.dll. The library's own sources see dllexport;
// hosts see dllimport; programs that link the library's classes statically
// (its unit tests) define VESKOLIB_STATIC and see neither.
#pragma once

#if defined(VESKOLIB_EXPORTS)
#define VESKOLIB_API __declspec(dllexport)
#elif defined(VESKOLIB_STATIC)
#define VESKOLIB_API
#else
#define VESKOLIB_API __declspec(dllimport)
#endif
