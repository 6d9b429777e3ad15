#include "tests/support/values.h"

#include <stdio.h>
#include <string.h>

std::string HexBytes(const char *hex)
{
    std::string bytes;
    unsigned value;
    int used;
    while (sscanf(hex, " %2x%n", &value, &used) == 1) {
        bytes += static_cast<char>(value);
        hex += used;
    }
    return bytes;
}

std::string Hex(const std::string &bytes)
{
    std::string hex;
    char piece[4];
    for (unsigned char c : bytes) {
        snprintf(piece, sizeof piece, hex.empty() ? "%02X" : " %02X", c);
        hex += piece;
    }
    return hex;
}

std::string Hex(const Bytes &bytes) { return Hex(std::string(bytes.begin(), bytes.end())); }

TextValue NewText(const Bytes &bytes)
{
    TextValue text = static_cast<TextValue>(AllocateBlock(static_cast<int32_t>(bytes.size()) + 1));
    memcpy(text, bytes.data(), bytes.size());
    text[bytes.size()] = '\0';
    return text;
}

TextValue NewText(const char *text) { return NewText(TextBytes(text)); }

ByteBuffer NewBuffer(const std::string &bytes)
{
    return BufferFromBytes(bytes.data(), static_cast<int32_t>(bytes.size()));
}

Bytes TextBytes(const char *text) { return text ? Bytes(text, text + strlen(text)) : Bytes(); }

Bytes BufferBytes(const ByteBufferHead *buffer)
{
    const uint8_t *data = BufferData(buffer);
    return buffer ? Bytes(data, data + BufferLength(buffer)) : Bytes();
}

std::string TakeText(TextValue text)
{
    std::string bytes = text ? std::string(text) : std::string("(null)");
    ReleaseBlock(text);
    return bytes;
}

std::string TakeBuffer(ByteBuffer buffer)
{
    std::string bytes = buffer ? std::string(reinterpret_cast<const char *>(BufferData(buffer)),
                                             BufferLength(buffer))
                               : std::string("(null)");
    ReleaseBlock(buffer);
    return bytes;
}
