// The body of a worker thread.
#pragma once

#include "discburnlibdef.h"

class DISCBURNLIB_API Runnable {
  public:
    virtual ~Runnable();
    // Runs on the worker thread until the owner tells it to end.
    virtual void Run() = 0;

  protected:
    Runnable() = default;
};
