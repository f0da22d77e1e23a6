#include "cdnotifiable.h"

CDNotifiable::~CDNotifiable() = default;
