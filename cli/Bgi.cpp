#include "Commands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Format.h"
#include "kazmir.h"

namespace kzcli {

// Opens the board's BGI channels for one command: their maximum lengths in
// sendMax and receiveMax, or the command's exit code when that fails.
namespace {

// Opens the board's BGI channels for one command, with their maximum
// lengths; Ended when that fails or a channel the command needs is missing.
Ended OpenBgi(CSession& s, const std::string& command, CBoardSession& board, uint64_t& handle, uint16_t& sendMax,
              uint16_t& receiveMax, bool send, bool receive)
{
    if (auto failed = s.OpenBoard(command, board, BoardMode::Bgi, handle))
        return failed;
    kzmBGIgetMsgLen(&sendMax, &receiveMax);
    if ((!send || sendMax != 0) && (!receive || receiveMax != 0))
        return std::nullopt;
    board.Close();
    return s.SummariseExit(command, EXIT_DEVICE,
                           send && receive ? "the board lacks a BGI send or receive channel"
                           : send          ? "the board has no BGI send channel"
                                           : "the board has no BGI receive channel");
}

} // namespace

int BgiSend(CSession& s, const std::string& text, bool hex)
{
    std::vector<uint8_t> message;
    if (hex) {
        auto bytes = ParseHexBytes(text);
        if (!bytes)
            return s.SummariseExit("bgi send", EXIT_USAGE, "\"" + text + "\" is not a run of hexadecimal bytes");
        message = *bytes;
    } else {
        // The channel moves whole entries: a NUL byte marks where the text ends.
        message.assign(text.begin(), text.end());
        message.push_back(0);
    }
    CBoardSession board(s);
    uint64_t handle = 0;
    uint16_t sendMax = 0, receiveMax = 0;
    if (Ended exitCode = OpenBgi(s, "bgi send", board, handle, sendMax, receiveMax, true, false))
        return *exitCode;
    uint32_t result = 0;
    if (message.size() >= sendMax) {
        board.Close();
        return s.SummariseExit("bgi send", EXIT_USAGE,
                               "the message is " + Plural(message.size(), "byte", "bytes") +
                                   " long; the channel takes at most " + std::to_string(sendMax - 1u) +
                                   (hex ? " bytes" : " bytes, the closing NUL byte included"));
    }
    if (auto stop = s.BeginCall("bgi send", "sending a message", false, {{"device_id", HandleText(handle)}}))
        return *stop;
    result = kzmBGIsend(s.Options().wait, static_cast<uint16_t>(message.size()), message.data());
    if (auto stop = s.StopIfInterrupted("bgi send", {{"device_id", HandleText(handle)}}))
        return *stop;
    board.Close();
    return s.Summarise("bgi send", result, Operation::BgiSend,
                       result == 0
                           ? "Sent " + Plural(message.size(), "byte", "bytes") + " to board " + HandleText(handle) + "."
                           : "sending failed",
                       {{"device_id", HandleText(handle)}, {"bytes", message.size()}});
}

int BgiReceive(CSession& s, bool hex)
{
    CBoardSession board(s);
    uint64_t handle = 0;
    uint16_t sendMax = 0, receiveMax = 0;
    if (Ended exitCode = OpenBgi(s, "bgi receive", board, handle, sendMax, receiveMax, false, true))
        return *exitCode;
    uint32_t result = 0;
    std::vector<uint8_t> buffer(receiveMax, 0);
    uint16_t received = 0;
    if (auto stop = s.BeginCall("bgi receive", "waiting for a message", false, {{"device_id", HandleText(handle)}}))
        return *stop;
    result = kzmBGIreceive(s.Options().wait, receiveMax, buffer.data(), &received);
    if (auto stop = s.StopIfInterrupted("bgi receive", {{"device_id", HandleText(handle)}}))
        return *stop;
    board.Close();
    if (result != 0)
        return s.Summarise("bgi receive", result, Operation::BgiReceive, "nothing received");
    const size_t size = std::min<size_t>(received, buffer.size());
    s.Out().Event(
        {{"event", "received"}, {"hex", HexText(buffer.data(), size)}, {"text", MessageText(buffer.data(), size)}});
    s.Out().Print(hex ? HexText(buffer.data(), size) : MessageText(buffer.data(), size));
    return s.Summarise("bgi receive", 0, Operation::BgiReceive, "",
                       {{"device_id", HandleText(handle)}, {"bytes", size}});
}

int BgiEcho(CSession& s, const std::string& text)
{
    CBoardSession board(s);
    uint64_t handle = 0;
    uint16_t sendMax = 0, receiveMax = 0;
    if (Ended exitCode = OpenBgi(s, "bgi echo", board, handle, sendMax, receiveMax, true, true))
        return *exitCode;
    uint32_t result = 0;
    std::vector<uint8_t> message(text.begin(), text.end());
    message.push_back(0);
    if (message.size() >= sendMax) {
        board.Close();
        return s.SummariseExit("bgi echo", EXIT_USAGE,
                               "the text is too long: the channel takes at most " + std::to_string(sendMax - 2u) +
                                   " characters");
    }
    if (auto stop = s.BeginCall("bgi echo", "sending a message and waiting for its echo", false,
                                {{"device_id", HandleText(handle)}}))
        return *stop;
    const auto start = std::chrono::steady_clock::now();
    result = kzmBGIsend(s.Options().wait, static_cast<uint16_t>(message.size()), message.data());
    if (result != 0) {
        board.Close();
        return s.Summarise("bgi echo", result, Operation::BgiSend, "sending failed");
    }
    std::vector<uint8_t> buffer(receiveMax, 0);
    uint16_t received = 0;
    result = kzmBGIreceive(s.Options().wait, receiveMax, buffer.data(), &received);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (auto stop = s.StopIfInterrupted("bgi echo", {{"device_id", HandleText(handle)}}))
        return *stop;
    board.Close();
    if (result != 0)
        return s.Summarise("bgi echo", result, Operation::BgiReceive, "no echo came back");
    const size_t size = std::min<size_t>(received, buffer.size());
    const bool same = size >= message.size() && std::equal(message.begin(), message.end(), buffer.begin());
    s.Out().Event({{"event", "echo"},
                   {"sent", text},
                   {"received", MessageText(buffer.data(), size)},
                   {"same", same},
                   {"milliseconds", ms}});
    if (!same)
        return s.SummariseExit("bgi echo", EXIT_DEVICE,
                               "the echo differs: sent \"" + MessageText(message.data(), message.size()) +
                                   "\", received \"" + MessageText(buffer.data(), size) + "\"");
    s.Out().Print(MessageText(buffer.data(), size));
    char timing[64];
    std::snprintf(timing, sizeof(timing), "%.2f ms", ms);
    return s.Summarise("bgi echo", 0, Operation::BgiReceive,
                       "The echo came back unchanged from board " + HandleText(handle) + " in " + timing + ".",
                       {{"device_id", HandleText(handle)}, {"milliseconds", ms}});
}

const Command BGI_SEND_COMMAND = {
    "bgi send",
    "send one message: the text and a closing NUL byte",
    [](CLI::App& sub, CommandLine& c) {
        sub.add_option("TEXT", c.text, "the text (with --hex: the bytes, in hexadecimal)")->required();
        sub.add_flag("--hex", c.hex, "TEXT is hexadecimal bytes, sent as they are");
    },
    [](CSession& s, const CommandLine& c) { return BgiSend(s, c.text, c.hex); },
    false,
    nullptr};

const Command BGI_RECEIVE_COMMAND = {"bgi receive",
                                     "receive one message and print it",
                                     [](CLI::App& sub, CommandLine& c) {
                                         sub.add_flag("--hex", c.hex, "print every byte of the message in hexadecimal");
                                     },
                                     [](CSession& s, const CommandLine& c) { return BgiReceive(s, c.hex); },
                                     false,
                                     nullptr};

const Command BGI_ECHO_COMMAND = {
    "bgi echo",
    "send a text and receive it back (the bench's echo firmware)",
    [](CLI::App& sub, CommandLine& c) { sub.add_option("TEXT", c.text, "the text")->required(); },
    [](CSession& s, const CommandLine& c) { return BgiEcho(s, c.text); },
    false,
    nullptr};

} // namespace kzcli
