// The stage step of the send/expect sequence, over a fake transport that records what the step sends.
#include "probes/StageSequence.h"
#include "protocol/Fields.h"

#include <gtest/gtest.h>

struct RecordingTransport : StageTransport {
    void send(const uint8_t* data, uint32_t size) override { sent.append(reinterpret_cast<const char*>(data), size); }
    std::string sent;
};

// The request's expect_0..2, send_1, send_2 and skip_first_expect (honoured: the step is the TCP probe's), the
// chunks fed (a step each), and the transcript: a word per step, what it sent and "!" if it ended, else ".".
struct Dialogue { std::string fields[5]; bool skipFirst; std::vector<std::string> chunks; std::string transcript; };

TEST(StageStepTest, DialoguesSendAndEndWhereTheirStagesAreMet) {
    const Dialogue dialogues[] = {
        {{"", "", "", "one", "two"}, false, {"", ""}, "one! ."},  // no pattern: met at once; past stage 0, the end
        {{"ready", "", "x", "a", "b"}, false, {"", "not yet", "ready", "x"}, ". . a! ."},
        {{"", "^250", "", "HELO", "QUIT"}, false, {"250 before HELO", "250 ok"}, "HELO QUIT!"},  // none carried over
        {{"A", "B", "C", "1", "2"}, false, {"ABC", "", "BC", "xx", "C", "C"}, "1 . 2 . ! ."},
        {{"SSH-2\\.0-[^\\r\\n]*\\r\\n"}, false, {"xxSS", "H-2", ".0-Op", "", "\r", "\n"}, ". . . . . !"},
        {{"never", "done", "", "go"}, true, {"", "not it", "done"}, "go . !"}};  // only stage 0 is skipped
    const uint32_t keys[] = {field::expect_0, field::expect_1, field::expect_2, field::send_1, field::send_2};
    for (const Dialogue& d : dialogues) {
        nv::message request;
        for (size_t i = 0; i < std::size(keys); ++i) request.insert<nv::string_id>(keys[i], d.fields[i]);
        request.insert<nv::bool_id>(field::skip_first_expect, d.skipFirst);
        StageSequence sequence;
        sequence.build(request, true);
        std::string transcript;
        for (const std::string& chunk : d.chunks) {
            RecordingTransport transport;
            const auto* data = reinterpret_cast<const uint8_t*>(chunk.data());
            if (sequence.step(request, data, static_cast<uint32_t>(chunk.size()), transport)) transport.sent += '!';
            transcript += (transcript.empty() ? "" : " ") + (transport.sent.empty() ? "." : transport.sent);
        }
        EXPECT_EQ(transcript, d.transcript) << d.fields[0] << " | " << d.fields[1] << " | " << d.fields[2];
    }
}
