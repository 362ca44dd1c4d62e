// Helpers behind the public types: argument checks, the hex texts the library
// takes and returns, and the guarded buffers for its text outputs.

using System;
using System.Runtime.InteropServices;
using System.Text;

namespace MifareZub
{
    // Argument checks; each throws before anything is sent.
    static class Args
    {
        internal static int Byte(string name, int value)
        {
            if (value < 0 || value > 255)
                throw new ArgumentOutOfRangeException(name, value, name + " must be 0 to 255");
            return value;
        }

        internal static void Data(string name, byte[] value, params int[] lengths)
        {
            if (value == null) throw new ArgumentNullException(name);
            if (Array.IndexOf(lengths, value.Length) < 0)
                throw new ArgumentException(name + " must have " + string.Join(" or ", Array.ConvertAll(lengths, n => n.ToString())) +
                                                " bytes, not " + value.Length, name);
        }
    }

    static class Hex
    {
        const string Digits = "0123456789ABCDEF";

        // Upper-case hex digits, zero-terminated: the library's input texts.
        internal static byte[] Text(byte[] data)
        {
            var text = new byte[2 * data.Length + 1];
            for (var i = 0; i < data.Length; ++i)
            {
                text[2 * i] = (byte)Digits[data[i] >> 4];
                text[2 * i + 1] = (byte)Digits[data[i] & 15];
            }
            return text;
        }

        internal static string Of(byte[] data)
        {
            var text = Text(data);
            return Encoding.ASCII.GetString(text, 0, text.Length - 1);
        }

        internal static string Spaced(byte[] data, int at, int count)
        {
            var parts = new string[count];
            for (var i = 0; i < count; ++i) parts[i] = data[at + i].ToString("X2");
            return string.Join(" ", parts);
        }

        // The bytes of a hex text the library returned with success. Anything
        // else than `count` bytes in hex digits is not a reply we can trust:
        // an ExchangeException (-2), never data.
        internal static byte[] Parse(byte[] text, int count, string function)
        {
            if (text.Length != 2 * count) throw Malformed(function, text);
            var data = new byte[count];
            for (var i = 0; i < count; ++i)
            {
                int high = Digit(text[2 * i]), low = Digit(text[2 * i + 1]);
                if (high < 0 || low < 0) throw Malformed(function, text);
                data[i] = (byte)(high << 4 | low);
            }
            return data;
        }

        static int Digit(byte c)
        {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            return -1;
        }

        // A text that is not what the export promises is no valid reply: the
        // exchange failed, as the library says of a reply it cannot read.
        static Exception Malformed(string function, byte[] text)
        {
            return MifareZubException.For((int)Status.ExchangeFailed, function);
        }
    }

    // An unmanaged buffer for one text output: the documented size, then guard
    // bytes. The library receives the address of a variable holding the
    // buffer's address (char**), exactly as the header documents.
    sealed class TextBuffer : IDisposable
    {
        internal const int SerialSize = 11;  // mif_Anticollision: 10 hex digits
        internal const int BlockSize = 33;   // mif_Read: 32 hex digits
        internal const int MessageSize = 18; // ErrMsg: at most 17 bytes of GBK text
        internal const int GuardSize = 16;
        internal const byte Guard = 0xA5;

        readonly int size;
        IntPtr memory;

        internal TextBuffer(int size)
        {
            this.size = size;
            memory = Marshal.AllocHGlobal(size + GuardSize);
            // The buffer starts as the empty text: a nonzero status may leave it untouched.
            Marshal.WriteByte(memory, 0, 0);
            for (var i = 1; i < size + GuardSize; ++i) Marshal.WriteByte(memory, i, Guard);
        }

        internal IntPtr Pointer { get { return memory; } }

        // The text up to its zero byte. A text that overruns its buffer means
        // the library and this binding disagree about the sizes: fail loudly
        // rather than read or trust memory past the buffer.
        internal byte[] Take(string function)
        {
            for (var i = size; i < size + GuardSize; ++i)
                if (Marshal.ReadByte(memory, i) != Guard)
                    throw new InvalidOperationException(function + " wrote past its " + size + "-byte buffer");
            var length = 0;
            while (length < size && Marshal.ReadByte(memory, length) != 0) ++length;
            if (length == size) throw new InvalidOperationException(function + " left its text without a zero byte");
            var text = new byte[length];
            Marshal.Copy(memory, text, 0, length);
            return text;
        }

        public void Dispose()
        {
            if (memory == IntPtr.Zero) return;
            Marshal.FreeHGlobal(memory);
            memory = IntPtr.Zero;
        }
    }
}
