#include "PlatformPortFactory.h"
#include "TarvoXcon.h"

int main(int argc, char** argv)
{
    PlatformTimerResolution timerResolution;
    PortFactory portFactory;
    return tarvo_main(argc, argv, portFactory);
}
