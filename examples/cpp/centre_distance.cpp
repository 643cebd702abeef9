// Captures N frames (default 10) from the first camera with the C++ header and prints each
// frame's centre distance and the wall it sees: the median distance over the middle rows.
//
//   c++ -std=c++17 centre_distance.cpp $(pkg-config --cflags --libs tarvo) -o centre_distance
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <vector>

#include <tarvo/tarvo.hpp>

int main(int argc, char **argv) {
    const unsigned count = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 10;
    try {
        tarvo::Library library;
        tarvo::Camera camera = tarvo::Camera::open();
        std::printf("%s (%s)\n", camera.product().c_str(), camera.ident().c_str());
        for (const tarvo::Frame &frame : camera.frames(count)) {
            const std::vector<float> metres = camera.distance(frame);
            const std::uint32_t w = frame.width(), h = frame.height();
            std::vector<float> middle(metres.begin() + (h / 2 - 2) * w,
                                      metres.begin() + (h / 2 + 2) * w);
            std::nth_element(middle.begin(), middle.begin() + middle.size() / 2, middle.end());
            std::printf("frame %u: centre %.3f m, median of the middle rows %.3f m\n",
                        frame.info().frame_idx, metres[(h / 2) * w + w / 2],
                        middle[middle.size() / 2]);
        }
        return 0;
    } catch (const tarvo::Error &e) {
        std::fprintf(stderr, "%s (code %d)\n", e.what(), e.code());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    return 1;
}
