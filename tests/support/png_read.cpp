#include "tests/support/png_read.hpp"

#include <cstdio>

#include "tests/support/run_process.hpp"

PngImage read_png(const std::string& path) {
    const ProcessResult result = run_process(
        {"/usr/bin/python3", "-c",
         "import sys\nfrom PIL import Image\nim = Image.open(sys.argv[1])\nim.load()\n"
         "sys.stdout.write('%s %d %d\\n' % (im.mode, im.size[0], im.size[1]))\nsys.stdout.flush()\n"
         "sys.stdout.buffer.write(im.tobytes())\n",
         path});
    PngImage image;
    const std::size_t newline = result.out.find('\n');
    if (result.exit_status != 0 || newline == std::string::npos) {
        image.error = result.err.empty() ? "the reader printed nothing" : result.err;
        return image;
    }
    char mode[8] = {};
    if (std::sscanf(result.out.substr(0, newline).c_str(), "%7s %d %d", mode, &image.width, &image.height) != 3) {
        image.error = "unreadable header line from the reader";
        return image;
    }
    image.mode = mode;
    image.pixels.assign(result.out.begin() + static_cast<std::ptrdiff_t>(newline) + 1, result.out.end());
    return image;
}
