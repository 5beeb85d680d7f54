// Movie writer: 8-bit grey or RGB frames -> libswscale (YUV 4:2:0) -> libx264 -> QuickTime.
#include "recording/ezRecorder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <syslog.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>

#include "camera/CamApi.h"
#include "ezImage/FreeFileName.h"
#include "ezImage/ezImage.h"
#include "recording/LiveBuffers.h"

namespace hx::recording {

namespace {

constexpr int kMaxSide = 16384;
constexpr int kMaxFrameRate = 10000;
/// Longest stretch of a movie that a cut-off recording can lose.
constexpr int64_t kFragmentMicroseconds = 1000000;

std::string avText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// Conversion to BT.601 video-range YUV 4:2:0 from full-range 8-bit samples, for frames that
// already have the movie's size: written so that the compiler vectorises it (with AVX2 where the
// processor has it), about three times faster than the general scaler.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && !defined(HALVEX_SANITIZED)
#define HALVEX_VECTORISE                                                                           \
    __attribute__((target_clones("avx2", "default"), optimize("tree-vectorize")))
#else
#define HALVEX_VECTORISE
#endif

HALVEX_VECTORISE void lumaFromRgb(const uint8_t* __restrict rgb, int width, uint8_t* __restrict y) {
    for (int x = 0; x < width; ++x)
        y[x] = static_cast<uint8_t>(
            (66 * rgb[3 * x] + 129 * rgb[3 * x + 1] + 25 * rgb[3 * x + 2] + 4224) >> 8);
}

HALVEX_VECTORISE void lumaFromGrey(const uint8_t* __restrict grey, int width,
                                   uint8_t* __restrict y) {
    for (int x = 0; x < width; ++x) y[x] = static_cast<uint8_t>((220 * grey[x] + 4224) >> 8);
}

/// Chroma of whole 2 x 2 blocks of two RGB rows. Scratch: sums 3 x width, cu and cv width
/// entries each; every step is a plain loop the compiler vectorises.
HALVEX_VECTORISE void chromaFromRgb(const uint8_t* __restrict row0, const uint8_t* __restrict row1,
                                    int width, uint16_t* __restrict sums, int32_t* __restrict cu,
                                    int32_t* __restrict cv, uint8_t* __restrict u,
                                    uint8_t* __restrict v) {
    const int n = width * 3;
    for (int k = 0; k < n; ++k) sums[k] = static_cast<uint16_t>(row0[k] + row1[k]);
    for (int x = 0; x < width; ++x) {
        const int r = sums[3 * x], g = sums[3 * x + 1], b = sums[3 * x + 2];
        cu[x] = 112 * b - 38 * r - 74 * g;
        cv[x] = 112 * r - 94 * g - 18 * b;
    }
    const int pairs = width / 2;
    for (int i = 0; i < pairs; ++i) {
        u[i] = static_cast<uint8_t>((cu[2 * i] + cu[2 * i + 1] + 131584) >> 10);
        v[i] = static_cast<uint8_t>((cv[2 * i] + cv[2 * i + 1] + 131584) >> 10);
    }
}

/// Scratch rows of the direct conversion.
struct ChromaScratch {
    std::vector<uint16_t> sums;
    std::vector<int32_t> cu, cv;
};

/// Converts a packed grey or RGB frame into pic (same width and height); an odd last row or
/// column makes its chroma from itself alone.
void convertDirect(const uint8_t* pixels, int width, int height, int channels, AVFrame* pic,
                   ChromaScratch& scratch) {
    const size_t stride = static_cast<size_t>(width) * channels;
    const int pairs = width / 2;
    if (channels == 3 && scratch.cu.size() < static_cast<size_t>(width)) {
        scratch.sums.resize(static_cast<size_t>(width) * 3);
        scratch.cu.resize(static_cast<size_t>(width));
        scratch.cv.resize(static_cast<size_t>(width));
    }
    for (int y = 0; y < height; y += 2) {
        const uint8_t* row0 = pixels + y * stride;
        const uint8_t* row1 = y + 1 < height ? row0 + stride : row0;
        uint8_t* y0 = pic->data[0] + static_cast<ptrdiff_t>(y) * pic->linesize[0];
        uint8_t* u = pic->data[1] + static_cast<ptrdiff_t>(y / 2) * pic->linesize[1];
        uint8_t* v = pic->data[2] + static_cast<ptrdiff_t>(y / 2) * pic->linesize[2];
        if (channels == 1) {
            lumaFromGrey(row0, width, y0);
            if (y + 1 < height) lumaFromGrey(row1, width, y0 + pic->linesize[0]);
            std::memset(u, 128, static_cast<size_t>((width + 1) / 2));
            std::memset(v, 128, static_cast<size_t>((width + 1) / 2));
            continue;
        }
        lumaFromRgb(row0, width, y0);
        if (y + 1 < height) lumaFromRgb(row1, width, y0 + pic->linesize[0]);
        chromaFromRgb(row0, row1, width, scratch.sums.data(), scratch.cu.data(), scratch.cv.data(),
                      u, v);
        if (width & 1) {
            const uint8_t* a = row0 + 3 * (width - 1);
            const uint8_t* b = row1 + 3 * (width - 1);
            const int r = 2 * (a[0] + b[0]), g = 2 * (a[1] + b[1]), bl = 2 * (a[2] + b[2]);
            u[pairs] = static_cast<uint8_t>((-38 * r - 74 * g + 112 * bl + 131584) >> 10);
            v[pairs] = static_cast<uint8_t>((112 * r - 94 * g - 18 * bl + 131584) >> 10);
        }
    }
}

} // namespace

/// The FFmpeg objects of one recording: the file writer (muxer), its one video stream, the
/// H.264 encoder that feeds it and the converter from the camera's pixels to YUV 4:2:0.
struct ezRecorder::Encoder {
    AVFormatContext* videoWriter = nullptr;
    AVStream* stream = nullptr;
    AVCodecContext* writerInput = nullptr;
    SwsContext* adaptor = nullptr;
    std::vector<AVFrame*> pictures; ///< the queue's pictures, each in free_ or queue_
    AVPacket* packet = nullptr;
    bool fileOpen = false;
    int srcWidth = 0, srcHeight = 0, srcChannels = 0; ///< what adaptor converts from
    ChromaScratch scratch;

    ~Encoder() {
        sws_freeContext(adaptor);
        for (AVFrame*& picture : pictures) av_frame_free(&picture);
        av_packet_free(&packet);
        avcodec_free_context(&writerInput);
        if (videoWriter) {
            if (fileOpen) avio_closep(&videoWriter->pb);
            avformat_free_context(videoWriter);
        }
    }
};

ezRecorder::ezRecorder(RecorderOptions options) : options_(std::move(options)) {
    options_.queueDepth = std::clamp(options_.queueDepth, 1, 64);
}

ezRecorder::~ezRecorder() {
    CloseRecorder();
}

std::string ezRecorder::moviePath(const std::string& directory, std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char stamp[32] = {};
    std::strftime(stamp, sizeof stamp, "%m%d%H%M%S", &local);
    return directory + stamp + ".mov";
}

int ezRecorder::frameRateFromDustm(int32_t dustm) {
    if (dustm <= 0) return kDefaultFrameRate;
    return std::clamp(10000 / dustm, 1, kMaxFrameRate);
}

/// Opens encoder, file and writer thread. Every failure is logged and undone: no file stays
/// behind, and the recorder can be opened again.
bool ezRecorder::OpenRecorder(const std::string& path, int width, int height, int channels,
                              int fps) {
    std::lock_guard<std::mutex> lock(appendMutex_);
    syslog(LOG_INFO, "Write Started");
    if (open_) {
        syslog(LOG_WARNING, "movie %s: a recording is already open", path.c_str());
        return false;
    }
    if (path.empty() || width < 1 || height < 1 || width > kMaxSide || height > kMaxSide ||
        (channels != 1 && channels != 3) || fps < 1 || fps > kMaxFrameRate) {
        syslog(LOG_WARNING, "movie %s: cannot record %dx%d, %d channels, %d fps", path.c_str(),
               width, height, channels, fps);
        return false;
    }
    frameCount = 1;
    kRecordingFPS = fps;
    written_ = dropped_ = failed_ = 0;

    // FFmpeg's own progress chatter would go to standard error on every recording.
    if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_ERROR);
    auto enc = std::make_unique<Encoder>();
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) {
        syslog(LOG_ERR, "movie %s: no H.264 encoder (libx264) available", path.c_str());
        return false;
    }
    if (avformat_alloc_output_context2(&enc->videoWriter, nullptr, "mov", path.c_str()) < 0 ||
        !enc->videoWriter) {
        syslog(LOG_ERR, "Init With URL Failed");
        return false;
    }
    enc->stream = avformat_new_stream(enc->videoWriter, nullptr);
    enc->writerInput = avcodec_alloc_context3(codec);
    enc->packet = av_packet_alloc();
    if (!enc->stream || !enc->writerInput || !enc->packet) {
        syslog(LOG_ERR, "movie %s: out of memory", path.c_str());
        return false;
    }

    // 4:2:0 needs even sizes: an odd last row or column is repeated into the padding.
    codedWidth_ = (width + 1) & ~1;
    codedHeight_ = (height + 1) & ~1;
    AVCodecContext* ctx = enc->writerInput;
    ctx->width = codedWidth_;
    ctx->height = codedHeight_;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = AVRational{1, fps};
    ctx->framerate = AVRational{fps, 1};
    ctx->gop_size = std::clamp(fps * 2, 1, 300);
    ctx->max_b_frames = 0; // presentation order = decoding order: frame k is sample k
    ctx->color_range = AVCOL_RANGE_MPEG;
    ctx->colorspace = AVCOL_SPC_SMPTE170M;
    ctx->thread_count = std::max(options_.threads, 0);
    if (enc->videoWriter->oformat->flags & AVFMT_GLOBALHEADER)
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* settings = nullptr;
    av_dict_set(&settings, "preset", options_.preset.c_str(), 0);
    av_dict_set(&settings, "bf", "0", 0);
    int ret = avcodec_open2(ctx, codec, &settings);
    av_dict_free(&settings);
    if (ret < 0) {
        syslog(LOG_ERR, "movie %s: the H.264 encoder refused %dx%d at %d fps: %s", path.c_str(),
               codedWidth_, codedHeight_, fps, avText(ret).c_str());
        return false;
    }
    avcodec_parameters_from_context(enc->stream->codecpar, ctx);
    enc->stream->time_base = ctx->time_base;
    enc->stream->avg_frame_rate = ctx->framerate;

    for (int i = 0; i < options_.queueDepth; ++i) {
        AVFrame* picture = av_frame_alloc();
        if (picture) enc->pictures.push_back(picture);
        if (!picture) {
            syslog(LOG_ERR, "movie %s: out of memory", path.c_str());
            return false;
        }
        picture->format = AV_PIX_FMT_YUV420P;
        picture->width = codedWidth_;
        picture->height = codedHeight_;
        if (av_frame_get_buffer(picture, 0) < 0) {
            syslog(LOG_ERR, "movie %s: out of memory", path.c_str());
            return false;
        }
    }

    ret = avio_open(&enc->videoWriter->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (ret < 0) {
        syslog(LOG_ERR, "Init With URL Failed: %s: %s", path.c_str(), avText(ret).c_str());
        return false;
    }
    enc->fileOpen = true;
    // The movie's own clock ticks in frames too, so that the empty stretch before frame 1
    // (the time line starts at 0, frame k shows at k / fps) is exact.
    AVDictionary* muxing = nullptr;
    av_dict_set_int(&muxing, "movie_timescale", fps, 0);
    // Written in fragments, each with its own index, so that a recording that is cut off (a
    // crash, a killed process, a pulled cable) plays up to its last complete fragment.
    av_dict_set(&muxing, "movflags", "frag_keyframe+empty_moov+delay_moov+default_base_moof", 0);
    av_dict_set_int(&muxing, "frag_duration", kFragmentMicroseconds, 0);
    ret = avformat_write_header(enc->videoWriter, &muxing);
    av_dict_free(&muxing);
    if (ret < 0) {
        syslog(LOG_ERR, "movie %s: cannot start the file: %s", path.c_str(), avText(ret).c_str());
        enc.reset();
        std::error_code ec;
        std::filesystem::remove(path, ec);
        return false;
    }
    syslog(LOG_DEBUG, "adaptor:%p", static_cast<void*>(enc.get()));

    encoder_ = std::move(enc);
    path_ = path;
    width_ = width;
    height_ = height;
    channels_ = channels;
    closing_ = false;
    queue_.clear();
    free_ = encoder_->pictures;
    writer_ = std::thread(&ezRecorder::writerLoop, this);
    open_ = true;
    return true;
}

/// Converts the frame into a free picture of the queue for the writer thread. With no picture
/// free the frame is dropped (or, with waitWhenFull, the call waits for the writer); its number
/// is used up either way so that the frames around it keep their times.
bool ezRecorder::AppendSampleBuffer(const unsigned char* pixels, int width, int height,
                                    int channels) {
    if (!pixels || width < 1 || height < 1 || width > kMaxSide || height > kMaxSide ||
        (channels != 1 && channels != 3))
        return false;
    std::lock_guard<std::mutex> lock(appendMutex_);
    if (!open_) return false;
    AVFrame* picture = nullptr;
    {
        std::unique_lock<std::mutex> q(queueMutex_);
        if (free_.empty()) {
            if (!options_.waitWhenFull) {
                ++frameCount;
                ++dropped_;
                return true;
            }
            roomFree_.wait(q, [this] { return !free_.empty(); });
        }
        picture = free_.back();
        free_.pop_back();
    }
    const bool converted = convert(pixels, width, height, channels, picture);
    {
        std::lock_guard<std::mutex> q(queueMutex_);
        if (converted)
            queue_.push_back(Frame{picture, frameCount++});
        else
            free_.push_back(picture);
    }
    if (converted) frameReady_.notify_one();
    return converted;
}

/// Converts packed grey or RGB pixels to the movie's size in YUV 4:2:0, full range in and video
/// range out, so a grey movie looks like its live view. Frames of the movie's size take the
/// direct path; others go through the scaler. Runs on the appending thread only.
bool ezRecorder::convert(const unsigned char* pixels, int width, int height, int channels,
                         AVFrame* pic) {
    Encoder& e = *encoder_;
    // The encoder may still hold the previous contents: then this gives a fresh buffer.
    if (av_frame_make_writable(pic) < 0) return false;
    if (width == width_ && height == height_) {
        convertDirect(pixels, width, height, channels, pic, e.scratch);
    } else {
        if (!e.adaptor || e.srcWidth != width || e.srcHeight != height ||
            e.srcChannels != channels) {
            const AVPixelFormat format = channels == 1 ? AV_PIX_FMT_GRAY8 : AV_PIX_FMT_RGB24;
            e.adaptor =
                sws_getCachedContext(e.adaptor, width, height, format, width_, height_,
                                     AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
            e.srcWidth = e.adaptor ? width : 0;
            if (!e.adaptor) return false;
            const int* bt601 = sws_getCoefficients(SWS_CS_ITU601);
            sws_setColorspaceDetails(e.adaptor, bt601, 1, bt601, 0, 0, 1 << 16, 1 << 16);
            e.srcHeight = height;
            e.srcChannels = channels;
        }
        const uint8_t* src[4] = {pixels, nullptr, nullptr, nullptr};
        const int srcStride[4] = {width * channels, 0, 0, 0};
        sws_scale(e.adaptor, src, srcStride, 0, height, pic->data, pic->linesize);
    }
    // Padding to even sizes repeats the last luma column and row (chroma already covers it).
    uint8_t* luma = pic->data[0];
    const int ls = pic->linesize[0];
    if (codedWidth_ > width_)
        for (int y = 0; y < height_; ++y) luma[y * ls + width_] = luma[y * ls + width_ - 1];
    if (codedHeight_ > height_)
        std::memcpy(luma + height_ * ls, luma + (height_ - 1) * ls,
                    static_cast<size_t>(codedWidth_));
    return true;
}

/// Writer thread: encodes queued pictures in order until the recorder closes and the queue is
/// empty.
void ezRecorder::writerLoop() {
    for (;;) {
        Frame frame;
        {
            std::unique_lock<std::mutex> q(queueMutex_);
            frameReady_.wait(q, [this] { return !queue_.empty() || closing_; });
            if (queue_.empty()) return;
            frame = queue_.front();
            queue_.pop_front();
        }
        encodeFrame(frame);
        {
            std::lock_guard<std::mutex> q(queueMutex_);
            free_.push_back(frame.picture);
        }
        roomFree_.notify_one();
    }
}

/// Encodes one picture with presentation time number / fps.
void ezRecorder::encodeFrame(const Frame& frame) {
    Encoder& e = *encoder_;
    frame.picture->pts = frame.number;
    const int ret = avcodec_send_frame(e.writerInput, frame.picture);
    if (ret < 0) {
        std::printf("error appending image %ld\n", static_cast<long>(ret));
        syslog(LOG_ERR, "movie %s: frame %lld not encoded: %s", path_.c_str(),
               static_cast<long long>(frame.number), avText(ret).c_str());
        ++failed_;
        return;
    }
    ++written_;
    drainEncoder(false);
}

/// Moves finished packets from the encoder into the file; with flush, the frames the encoder
/// still holds too.
void ezRecorder::drainEncoder(bool flush) {
    Encoder& e = *encoder_;
    if (flush) avcodec_send_frame(e.writerInput, nullptr);
    for (;;) {
        int ret = avcodec_receive_packet(e.writerInput, e.packet);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
        if (ret < 0) {
            syslog(LOG_ERR, "movie %s: encoder failed: %s", path_.c_str(), avText(ret).c_str());
            ++failed_;
            return;
        }
        av_packet_rescale_ts(e.packet, e.writerInput->time_base, e.stream->time_base);
        e.packet->stream_index = e.stream->index;
        ret = av_interleaved_write_frame(e.videoWriter, e.packet);
        if (ret < 0) {
            std::printf("error appending image %ld\n", static_cast<long>(ret));
            syslog(LOG_ERR, "movie %s: %s", path_.c_str(), avText(ret).c_str());
            ++failed_;
        }
    }
}

/// Lets the writer thread finish the queue, flushes the encoder and completes the file. A movie
/// that could not be written whole (a full disk) is reported; what it holds up to its last
/// complete fragment still plays, so it stays.
bool ezRecorder::CloseRecorder() {
    std::lock_guard<std::mutex> lock(appendMutex_);
    if (!open_) return false;
    {
        std::lock_guard<std::mutex> q(queueMutex_);
        closing_ = true;
    }
    frameReady_.notify_all();
    if (writer_.joinable()) writer_.join();
    drainEncoder(true);
    const int ret = av_write_trailer(encoder_->videoWriter);
    if (ret < 0)
        syslog(LOG_ERR, "movie %s: cannot complete the file: %s", path_.c_str(),
               avText(ret).c_str());
    // Any write that failed on the way (a full disk) leaves the movie unreadable.
    const int writeError = encoder_->videoWriter->pb ? encoder_->videoWriter->pb->error : 0;
    const int closed = avio_closep(&encoder_->videoWriter->pb);
    encoder_->fileOpen = false;
    const bool whole = ret >= 0 && writeError == 0 && closed >= 0;
    if (!whole)
        syslog(LOG_ERR, "movie %s: not written: %s", path_.c_str(),
               avText(writeError < 0 ? writeError
                      : closed < 0   ? closed
                                     : ret)
                   .c_str());
    {
        std::lock_guard<std::mutex> q(queueMutex_);
        free_.clear(); // the pictures go with the encoder
    }
    encoder_.reset();
    open_ = false;
    syslog(LOG_INFO, "Write Ended");
    syslog(LOG_INFO, "movie %s: %lld frames written, %lld dropped, %lld failed", path_.c_str(),
           static_cast<long long>(written_), static_cast<long long>(dropped_),
           static_cast<long long>(failed_));
    return whole;
}

// ---- live recording --------------------------------------------------------------------------

/// The capture application's live view, reduced to what a recording needs: a grab thread that
/// hands the newest raw frame over by pointer exchange, and a show loop on the calling thread.
bool recordLiveMovie(const char* camName, const std::string& directory,
                     const LiveMovieOptions& options, LiveMovieResult& result) {
    using Clock = std::chrono::steady_clock;
    result = LiveMovieResult{};
    LiveBuffers sizes;
    if (!liveBuffers(camName, sizes, result.error)) return false;
    const int head = sizes.head;
    const size_t rawBytes = sizes.rawBytes;
    std::vector<unsigned char> bufA(rawBytes), bufB(rawBytes), bufC(rawBytes);
    std::vector<unsigned char> show(static_cast<size_t>(head) + rawBytes * 3 + 4128);
    unsigned char* recvBuf = bufA.data();
    unsigned char* idleBuf = bufB.data();
    unsigned char* fullBuf = bufC.data();

    std::mutex lkSwap;
    std::condition_variable handed;
    bool lkObtain = false;
    std::atomic<bool> lkRun{true}, gone{false};
    std::thread grab([&] {
        while (lkRun) {
            const int r = GetRawData(recvBuf, static_cast<int>(rawBytes), camName);
            if (r == 0 || r == 1) {
                {
                    std::lock_guard<std::mutex> l(lkSwap);
                    std::swap(recvBuf, idleBuf);
                    lkObtain = true;
                }
                handed.notify_one();
            } else if (r == -1) {
                gone = true;
                lkRun = false;
                handed.notify_one();
            }
        }
    });

    const int index = GetResolution(camName);
    result.width = GetResWidth(index, camName);
    result.height = GetResHeight(index, camName);
    result.channels = GetImageChannles(camName);

    ezRecorder recorder(options.recorder);
    bool recording = false;
    int cntFrame = 0;
    int32_t dustm = 0;
    Clock::time_point tmStart = Clock::now(), recordStart{};
    const auto started = Clock::now();
    const auto waitLimit = std::chrono::duration<double>(std::max(options.seconds, 0.0) + 10);
    uint64_t levelSum = 0, levelCount = 0;

    for (;;) {
        bool taken = false;
        {
            std::unique_lock<std::mutex> l(lkSwap);
            handed.wait_for(l, std::chrono::milliseconds(100), [&] { return lkObtain || !lkRun; });
            if (lkObtain) {
                std::swap(idleBuf, fullBuf);
                lkObtain = false;
                taken = true;
            }
        }
        const auto now = Clock::now();
        if (recording && now - recordStart >= std::chrono::duration<double>(options.seconds)) break;
        if (options.stopRequested && options.stopRequested()) {
            if (!recording) result.error = "interrupted before the recording started";
            break;
        }
        if (!lkRun) break;
        if (!recording && now - started > waitLimit) {
            result.error = "the camera delivered no frames";
            break;
        }
        // Start once the frame rate is known, as the movie button would.
        if (!recording && (options.fps > 0 || dustm > 0)) {
            result.fps = options.fps > 0 ? options.fps : ezRecorder::frameRateFromDustm(dustm);
            result.path =
                hx::files::freeFileName(ezRecorder::moviePath(directory, std::time(nullptr)));
            if (!recorder.OpenRecorder(result.path, result.width, result.height, result.channels,
                                       result.fps)) {
                result.error = "cannot write the movie " + result.path;
                break;
            }
            recording = true;
            recordStart = Clock::now();
        }
        if (!taken || DecodeRaw2Image(fullBuf, show.data(), camName) != 0) continue;

        _ezImage rec;
        std::memcpy(&rec, show.data(), sizeof rec);
        const size_t samples = static_cast<size_t>(rec.width) * rec.height * rec.channels;
        const size_t sampleBytes = rec.depth == 16 ? 2 : 1;
        if ((rec.channels != 1 && rec.channels != 3) || (rec.depth != 8 && rec.depth != 16) ||
            samples == 0 || rec.headerSize + samples * sampleBytes > show.size())
            continue;
        unsigned char* pixels = show.data() + rec.headerSize;
        if (sampleBytes == 2)
            for (size_t i = 0; i < samples; ++i) pixels[i] = pixels[2 * i + 1];
        ++result.shown;

        if (recording) {
            recorder.AppendSampleBuffer(pixels, rec.width, rec.height, rec.channels);
            ++result.appended;
            if (options.measureLevel) {
                for (size_t i = 0; i < samples; ++i) levelSum += pixels[i];
                levelCount += samples;
            }
        }
        if (cntFrame++ >= 9) {
            const auto t = Clock::now();
            dustm = static_cast<int32_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(t - tmStart).count());
            tmStart = t;
            cntFrame = 0;
        }
        if (recording && options.maxFrames > 0 && result.appended >= options.maxFrames) break;
    }
    lkRun = false;
    // A read in progress may last for the rest of a long exposure: end it instead.
    CancelRawData(camName);
    grab.join();
    if (gone && result.error.empty() && !recording) result.error = "the camera has gone";
    if (!recording) return false;
    const bool whole = recorder.CloseRecorder();
    result.written = recorder.framesWritten();
    result.dropped = recorder.framesDropped();
    if (levelCount) result.meanLevel = static_cast<double>(levelSum) / levelCount;
    if (!whole) {
        result.error =
            "cannot write the movie " + result.path + " (disk full or directory not writable?)";
        return false;
    }
    return true;
}

} // namespace hx::recording
