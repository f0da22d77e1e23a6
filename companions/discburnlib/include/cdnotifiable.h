// Something a disc job reports to while it runs.
#pragma once

#include "discburnlibdef.h"

class DISCBURNLIB_API CDNotifiable {
  public:
    virtual ~CDNotifiable();
    // One event of a job, with the identifiers and data forms documented in
    // cdexpmanager.h. Called on the job's thread.
    virtual void Notify(unsigned int eventId, void* data) = 0;

  protected:
    CDNotifiable() = default;
};
