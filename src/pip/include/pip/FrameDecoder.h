// Turns the JPEG frames of the picture-in-picture stream into textures on a thread of
// its own, so that the main loop only swaps pictures. Owned by the PiPController.
//
// Frames decode at the size the panel shows them: libjpeg scales by eighths while it
// decodes, so a 1280-wide frame in a 640-wide panel costs a quarter of the pixels, and
// the panel then draws the picture at 1:1. Pixels come out in the layout GTK draws from.
// Results return to the main loop in the order the frames went in; a frame with a newer
// one already waiting behind it is passed on without a picture instead of decoded.
#pragma once

#include "platform/GObjectPtr.h"

#include <gdkmm/texture.h>
#include <glibmm/dispatcher.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace quillmere {

class FrameDecoder {
public:
    // Receives the picture, or null when there was none to make (no image in the bytes,
    // none wanted, or a newer frame came first). Runs on the main loop.
    using Done = std::function<void(const Glib::RefPtr<Gdk::Texture>& picture)>;

    FrameDecoder();
    ~FrameDecoder();
    FrameDecoder(const FrameDecoder&) = delete;
    FrameDecoder& operator=(const FrameDecoder&) = delete;

    // Queues one frame. The picture is made to fit `boxWidth` × `boxHeight` pixels
    // without being smaller than it needs (0 × 0: full size); with `wanted` false no
    // picture is made and `done` still comes in turn.
    void decode(std::vector<std::uint8_t> image, bool wanted, int boxWidth, int boxHeight, Done done);

    // Decodes synchronously, on any thread: the picture, or null when the bytes hold no
    // JPEG, one larger than kMaxFrameSide pixels on a side, or one there is no memory
    // for. libjpeg decodes at the reduced size (0 × 0: full size). Returns a new
    // reference.
    static GObjectPtr<GdkTexture> decodeImage(const std::uint8_t* data, std::size_t size, int boxWidth, int boxHeight);

private:
    struct Job {
        std::vector<std::uint8_t> image;
        bool wanted;
        int boxWidth, boxHeight;
        Done done;
    };
    struct Result {
        GObjectPtr<GdkTexture> picture; // null for none
        Done done;
    };

    void work();
    void deliver();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_; // guarded by mutex_
    std::deque<Result> results_; // guarded by mutex_
    bool stopping_ = false; // guarded by mutex_
    Glib::Dispatcher finished_; // wakes the main loop for results_
    std::thread worker_;
};

} // namespace quillmere
