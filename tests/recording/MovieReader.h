// Reads a movie back with FFmpeg, independently of the recorder: container, codec, size, the
// presentation time of every frame and the mean grey level of the decoded pictures.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <string>
#include <vector>

struct MovieInfo {
    bool opened = false;
    std::string container; ///< demuxer name list, e.g. "mov,mp4,m4a,3gp,3g2,mj2"
    AVCodecID codec = AV_CODEC_ID_NONE;
    int width = 0, height = 0;
    AVRational timeBase{0, 1};
    std::vector<int64_t> pts; ///< of every decoded frame, in timeBase units
    double meanGrey = 0;      ///< mean full-range luma of every decoded frame
    int decodeErrors = 0;
};

inline MovieInfo readMovie(const std::string& path) {
    MovieInfo info;
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return info;
    if (avformat_find_stream_info(fmt, nullptr) < 0) {
        avformat_close_input(&fmt);
        return info;
    }
    const int index = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) {
        avformat_close_input(&fmt);
        return info;
    }
    AVStream* st = fmt->streams[index];
    info.opened = true;
    info.container = fmt->iformat->name;
    info.codec = st->codecpar->codec_id;
    info.width = st->codecpar->width;
    info.height = st->codecpar->height;
    info.timeBase = st->time_base;

    const AVCodec* decoder = avcodec_find_decoder(info.codec);
    AVCodecContext* dec = decoder ? avcodec_alloc_context3(decoder) : nullptr;
    if (!dec || avcodec_parameters_to_context(dec, st->codecpar) < 0 ||
        avcodec_open2(dec, decoder, nullptr) < 0) {
        avcodec_free_context(&dec);
        avformat_close_input(&fmt);
        ++info.decodeErrors;
        return info;
    }
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    SwsContext* grey = nullptr;
    std::vector<uint8_t> plane;
    double levelSum = 0;
    auto take = [&]() {
        while (avcodec_receive_frame(dec, frame) == 0) {
            info.pts.push_back(frame->best_effort_timestamp);
            grey = sws_getCachedContext(grey, frame->width, frame->height,
                                        static_cast<AVPixelFormat>(frame->format), frame->width,
                                        frame->height, AV_PIX_FMT_GRAY8, SWS_POINT, nullptr,
                                        nullptr, nullptr);
            plane.resize(static_cast<size_t>(frame->width) * frame->height);
            uint8_t* dst[4] = {plane.data(), nullptr, nullptr, nullptr};
            int dstStride[4] = {frame->width, 0, 0, 0};
            const int* bt601 = sws_getCoefficients(SWS_CS_ITU601);
            const int srcRange = frame->color_range == AVCOL_RANGE_JPEG ? 1 : 0;
            sws_setColorspaceDetails(grey, bt601, srcRange, bt601, 1, 0, 1 << 16, 1 << 16);
            sws_scale(grey, frame->data, frame->linesize, 0, frame->height, dst, dstStride);
            double sum = 0;
            for (uint8_t v : plane) sum += v;
            levelSum += sum / static_cast<double>(plane.size());
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(fmt, pkt) >= 0) {
        if (pkt->stream_index == index && avcodec_send_packet(dec, pkt) < 0) ++info.decodeErrors;
        av_packet_unref(pkt);
        take();
    }
    avcodec_send_packet(dec, nullptr);
    take();
    if (!info.pts.empty()) info.meanGrey = levelSum / static_cast<double>(info.pts.size());
    sws_freeContext(grey);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);
    return info;
}

/// The time of a frame in units of 1/fps, exact when the time base allows it.
inline int64_t frameIndex(const MovieInfo& info, int64_t pts, int fps) {
    return av_rescale_q(pts, info.timeBase, AVRational{1, fps});
}

/// True when pts lies exactly on a multiple of 1/fps.
inline bool onFrameGrid(const MovieInfo& info, int64_t pts, int fps) {
    // pts * tb.num / tb.den * fps must be an integer.
    const __int128 n = static_cast<__int128>(pts) * info.timeBase.num * fps;
    return n % info.timeBase.den == 0;
}
