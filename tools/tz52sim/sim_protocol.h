// The line code lives in tools/common/line, shared with the monitor; the
// simulator takes these names of it as its own.
#ifndef TZ52SIM_SIM_PROTOCOL_H
#define TZ52SIM_SIM_PROTOCOL_H

#include "tools/common/line/line_frames.h"

namespace tz52sim {
using tz52line::BuildReply;
using tz52line::Bytes;
using tz52line::Command;
using tz52line::CommandKind;
using tz52line::DecodeCommand;
using tz52line::DecodeEvent;
using tz52line::DescribeCommand;
using tz52line::HexBytes;
using tz52line::JoinSplitWord;
using tz52line::ReplyValue;
using tz52line::Request;
using tz52line::RequestDecoder;
using tz52line::SplitWord;
}  // namespace tz52sim

#endif  // TZ52SIM_SIM_PROTOCOL_H
