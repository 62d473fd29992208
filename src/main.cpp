#include "TarvoXcon.h"
#include "TimerResolution.h"

#if defined(_WIN32)
#include "WinPortFactory.h"
#else
#include "PosixPortFactory.h"
#endif

int main(int argc, char** argv)
{
#if defined(_WIN32)
    TimerResolution timerResolution;
#endif
    PortFactory portFactory;
    return tarvo_main(argc, argv, portFactory);
}
