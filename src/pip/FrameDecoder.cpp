#include "pip/FrameDecoder.h"

#include "platform/PageBridge.h"

#include <gdk/gdk.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio> // jpeglib.h needs FILE

#include <jpeglib.h>

namespace quillmere {

namespace {

// libjpeg reports fatal errors through a callback that must not return.
// The pixels live here too: a longjmp skips destructors between the error and the
// setjmp, but this object outlives both, and its address escapes, so it stays in memory.
struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    GCharPtr pixels;
};

[[noreturn]] void failDecoding(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->jump, 1);
}

// Damaged data still decodes (grey where it is missing); no need to say so on stderr.
void ignoreMessage(j_common_ptr)
{
}

// The eighths to decode at: the smallest scale at which an image of width × height
// still covers what fitting it into the box needs.
unsigned scaleInEighths(unsigned width, unsigned height, int boxWidth, int boxHeight)
{
    if (boxWidth <= 0 || boxHeight <= 0 || width == 0 || height == 0)
        return 8;
    const double fit = std::min(static_cast<double>(boxWidth) / width, static_cast<double>(boxHeight) / height);
    return static_cast<unsigned>(std::clamp(std::ceil(fit * 8 - 1e-9), 1.0, 8.0));
}

enum class JpegHeader { Unreadable, TooLarge, Fits };

// Decodes a JPEG at the scale the box needs. The header is read first: a picture that
// claims more than kMaxFrameSide pixels on a side is refused before anything is
// allocated for it (a few hundred bytes can claim 60000 × 60000), and memory that
// cannot be had drops the frame instead of ending the program.
GObjectPtr<GdkTexture> decodeJpeg(
    const std::uint8_t* data, std::size_t size, int boxWidth, int boxHeight, JpegHeader& header)
{
    jpeg_decompress_struct info;
    JpegErrors errors;
    header = JpegHeader::Unreadable;
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = failDecoding;
    errors.manager.output_message = ignoreMessage;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        return nullptr;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&info, TRUE);
    if (info.image_width == 0 || info.image_height == 0 || info.image_width > unsigned(kMaxFrameSide)
        || info.image_height > unsigned(kMaxFrameSide)) {
        header = JpegHeader::TooLarge;
        jpeg_destroy_decompress(&info);
        return nullptr;
    }
    header = JpegHeader::Fits;
    info.scale_num = scaleInEighths(info.image_width, info.image_height, boxWidth, boxHeight);
    info.scale_denom = 8;
    // Opaque pixels in the byte order of GDK_MEMORY_DEFAULT, which GTK draws without
    // converting them first.
#if G_BYTE_ORDER == G_LITTLE_ENDIAN
    info.out_color_space = JCS_EXT_BGRA;
#else
    info.out_color_space = JCS_EXT_ARGB;
#endif
    jpeg_start_decompress(&info);
    const std::size_t stride = std::size_t(info.output_width) * 4;
    errors.pixels.reset(static_cast<char*>(g_try_malloc(stride * info.output_height)));
    if (!errors.pixels) {
        jpeg_destroy_decompress(&info);
        return nullptr;
    }
    auto* pixels = reinterpret_cast<guchar*>(errors.pixels.get());
    while (info.output_scanline < info.output_height) {
        JSAMPROW rows[16];
        const unsigned count = std::min(16u, info.output_height - info.output_scanline);
        for (unsigned i = 0; i < count; ++i)
            rows[i] = pixels + (info.output_scanline + i) * stride;
        jpeg_read_scanlines(&info, rows, count);
    }
    jpeg_finish_decompress(&info);
    const int width = static_cast<int>(info.output_width), height = static_cast<int>(info.output_height);
    jpeg_destroy_decompress(&info);

    g_autoptr(GBytes) bytes = g_bytes_new_take(errors.pixels.release(), stride * height);
    return adopt(gdk_memory_texture_new(width, height, GDK_MEMORY_DEFAULT, bytes, stride));
}

} // namespace

GObjectPtr<GdkTexture> FrameDecoder::decodeImage(
    const std::uint8_t* data, std::size_t size, int boxWidth, int boxHeight)
{
    // Frames are JPEG; nothing else is handed to a decoder.
    if (size < 3 || data[0] != 0xff || data[1] != 0xd8 || data[2] != 0xff)
        return nullptr;
    JpegHeader header;
    if (auto texture = decodeJpeg(data, size, boxWidth, boxHeight, header))
        return texture;
    if (header != JpegHeader::Fits)
        return nullptr;
    // A JPEG of a reasonable size that libjpeg will not convert (CMYK, say) gets GTK's
    // loader, at full size.
    g_autoptr(GBytes) bytes = g_bytes_new_static(data, size);
    return adopt(gdk_texture_new_from_bytes(bytes, nullptr));
}

FrameDecoder::FrameDecoder()
{
    finished_.connect(sigc::mem_fun(*this, &FrameDecoder::deliver));
    worker_ = std::thread(&FrameDecoder::work, this);
}

FrameDecoder::~FrameDecoder()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    worker_.join();
}

void FrameDecoder::decode(std::vector<std::uint8_t> image, bool wanted, int boxWidth, int boxHeight, Done done)
{
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back({std::move(image), wanted, boxWidth, boxHeight, std::move(done)});
    }
    wake_.notify_one();
}

void FrameDecoder::work()
{
    for (;;) {
        Job job;
        bool superseded = false;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_)
                return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
            // Behind on a live picture, only the newest one is worth the time.
            superseded = std::any_of(jobs_.begin(), jobs_.end(), [](const Job& later) { return later.wanted; });
        }
        GObjectPtr<GdkTexture> picture;
        if (job.wanted && !superseded)
            picture = decodeImage(job.image.data(), job.image.size(), job.boxWidth, job.boxHeight);
        {
            std::lock_guard lock(mutex_);
            results_.push_back({std::move(picture), std::move(job.done)});
        }
        finished_.emit();
    }
}

void FrameDecoder::deliver()
{
    std::deque<Result> ready;
    {
        std::lock_guard lock(mutex_);
        ready.swap(results_);
    }
    for (auto& result : ready) {
        // Glib::wrap takes over the reference the worker made.
        Glib::RefPtr<Gdk::Texture> picture =
            result.picture ? Glib::wrap(result.picture.release()) : Glib::RefPtr<Gdk::Texture>();
        result.done(picture);
    }
}

} // namespace quillmere
