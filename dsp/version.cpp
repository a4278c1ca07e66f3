#include "dsp/version.h"

int bandcore_version(void)
{
    return BANDCORE_VERSION;
}

const char* bandcore_version_string(void)
{
    return BANDCORE_VERSION_STRING;
}
