// TessarinLumivarConfiguration: sets the NVR endpoint of the service.
#include "configure.h"

int main(int argc, char** argv) {
    return configureMain(argc, argv);
}
