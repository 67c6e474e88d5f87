// Quillon: stills from videos and animated GIFs, and batch image conversion, in one window.
#include <memory>

#include "host/App.hpp"

int main(int argc, char** argv)
{
    quillon::App app(std::make_unique<quillon::GtkHost>(), {});
    return app.run(argc, argv);
}
