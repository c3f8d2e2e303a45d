#include <exception>
#include <iostream>

#include "driver/options.h"
#include "driver/stop.h"

int main(int argc, char** argv) {
    vkn::install_stop_handlers();
    try {
        vkn::MinerOptions options = vkn::parse_options(argc, argv);
        (void)options;
        std::cerr << "error: mining is not built yet\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "error: " << e.what() << "\ntry --help\n";
        return 1;
    }
}
