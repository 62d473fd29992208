#include "TarvoXcon.h"

#if defined(_WIN32)
#include "WinPortFactory.h"
#else
#include "PosixPortFactory.h"
#endif

int main(int argc, char** argv)
{
    PortFactory portFactory;
    return tarvo_main(argc, argv, portFactory);
}
