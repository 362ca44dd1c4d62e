// The 16-byte value block format: encoding, checking and decoding it.

using System;

namespace MifareZub
{
    /// <summary>A MIFARE Classic value block: a signed 32-bit value and an address byte.</summary>
    /// <remarks>
    /// The 16 bytes hold the value three times and the address four times:
    /// <c>value | ~value | value | addr ~addr addr ~addr</c>, each value in four
    /// bytes, least significant first. 1234567 at address 17 is
    /// <c>87 D6 12 00 78 29 ED FF 87 D6 12 00 11 EE 11 EE</c>.
    /// </remarks>
    public struct ValueBlock : IEquatable<ValueBlock>
    {
        /// <summary>Creates a value block's contents.</summary>
        /// <param name="value">The value.</param>
        /// <param name="address">The address byte, 0 to 255 (by convention the block's number).</param>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="address"/> is outside 0 to 255.</exception>
        public ValueBlock(int value, int address)
        {
            Args.Byte("address", address);
            Value = value;
            Address = address;
        }

        /// <summary>The value.</summary>
        public int Value { get; private set; }

        /// <summary>The address byte.</summary>
        public int Address { get; private set; }

        /// <summary>The block's 16 bytes.</summary>
        public byte[] ToBytes()
        {
            return Encode(Value, Address);
        }

        /// <summary>The 16 bytes of a value block holding <paramref name="value"/> with <paramref name="address"/>.</summary>
        /// <param name="value">The value.</param>
        /// <param name="address">The address byte, 0 to 255 (by convention the block's number).</param>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="address"/> is outside 0 to 255.</exception>
        public static byte[] Encode(int value, int address)
        {
            Args.Byte("address", address);
            var block = new byte[16];
            PutInt(block, 0, value);
            PutInt(block, 4, ~value);
            PutInt(block, 8, value);
            block[12] = block[14] = (byte)address;
            block[13] = block[15] = (byte)~address;
            return block;
        }

        /// <summary>Checks a 16-byte value block and returns its contents.</summary>
        /// <param name="block">The block's 16 bytes.</param>
        /// <exception cref="ArgumentNullException"><paramref name="block"/> is null.</exception>
        /// <exception cref="ValueBlockException">The block is not 16 bytes, or its copies disagree.</exception>
        public static ValueBlock Decode(byte[] block)
        {
            string problem;
            var result = TryDecode(block, out problem);
            if (problem != null) throw new ValueBlockException(problem);
            return result;
        }

        /// <summary>Whether <paramref name="block"/> is a well-formed 16-byte value block.</summary>
        /// <param name="block">The block's bytes.</param>
        /// <exception cref="ArgumentNullException"><paramref name="block"/> is null.</exception>
        public static bool IsValueBlock(byte[] block)
        {
            string problem;
            TryDecode(block, out problem);
            return problem == null;
        }

        static ValueBlock TryDecode(byte[] block, out string problem)
        {
            if (block == null) throw new ArgumentNullException("block");
            problem = null;
            if (block.Length != 16)
            {
                problem = "a value block has 16 bytes, not " + block.Length;
                return new ValueBlock();
            }
            int value = GetInt(block, 0), inverted = GetInt(block, 4), copy = GetInt(block, 8);
            if (value != copy || value != ~inverted)
            {
                problem = "the value copies disagree: " + Hex.Spaced(block, 0, 12);
                return new ValueBlock();
            }
            if (block[12] != block[14] || block[13] != block[15] || block[12] != (byte)~block[13])
            {
                problem = "the address copies disagree: " + Hex.Spaced(block, 12, 4);
                return new ValueBlock();
            }
            return new ValueBlock(value, block[12]);
        }

        static void PutInt(byte[] block, int at, int value)
        {
            for (var i = 0; i < 4; ++i) block[at + i] = (byte)(value >> (8 * i));
        }

        static int GetInt(byte[] block, int at)
        {
            return block[at] | block[at + 1] << 8 | block[at + 2] << 16 | block[at + 3] << 24;
        }

        /// <summary>Whether both hold the same value and address.</summary>
        /// <param name="other">The other value block.</param>
        public bool Equals(ValueBlock other)
        {
            return Value == other.Value && Address == other.Address;
        }

        /// <summary>Whether <paramref name="obj"/> is a <see cref="ValueBlock"/> with the same value and address.</summary>
        /// <param name="obj">Any object.</param>
        public override bool Equals(object obj)
        {
            return obj is ValueBlock && Equals((ValueBlock)obj);
        }

        /// <summary>A hash of the value and address.</summary>
        public override int GetHashCode()
        {
            return Value * 257 + Address;
        }

        /// <summary>The value and address, as <c>"125 @ 5"</c>.</summary>
        public override string ToString()
        {
            return Value + " @ " + Address;
        }
    }
}
