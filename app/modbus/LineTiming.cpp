#include "app/modbus/LineTiming.h"

#include <algorithm>
#include <cmath>

double CharacterMs(unsigned long Baud, int DataBits, int Parity, int StopBits)
{
    if (Baud == 0)
        return 0;
    const double stop = StopBits == 2 ? 2.0 : StopBits == 1 ? 1.5 : 1.0;
    const double bits = 1.0 + std::clamp(DataBits, 5, 8) + (Parity != 0 ? 1.0 : 0.0) + stop;
    return bits * 1000.0 / static_cast<double>(Baud);
}

unsigned long PackagePauseMs(unsigned long Baud, int DataBits, int Parity, int StopBits)
{
    const double gap = 3.5 * CharacterMs(Baud, DataBits, Parity, StopBits);
    return std::max(kMinPackagePauseMs, static_cast<unsigned long>(std::ceil(gap)));
}
