#include "runnable.h"

Runnable::~Runnable() = default;
