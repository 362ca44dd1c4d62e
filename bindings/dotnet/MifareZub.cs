// MifareZub: the .NET binding of MifareZUB, the library that drives a USB
// MIFARE Classic card reader.
//
// This one file is the whole binding: MifareZub.csproj builds it into an
// assembly, and an older project can add the file as it is. It needs nothing
// beyond the base class library, compiles as C# 7 (Mono's mcs included) and
// runs on .NET Framework 4.6.1 and later, .NET 6 and later, and Mono.
//
// The native library is MifareZUB.dll on Windows (x86, stdcall; an x64 build
// where one exists) and libMifareZUB.so elsewhere. It must be where the
// runtime's loader looks: beside the program (or in runtimes/<rid>/native of
// the NuGet package) on Windows; beside the assembly, or on LD_LIBRARY_PATH,
// under Mono and .NET on Linux.

using System;
using System.Runtime.InteropServices;
using System.Text;

namespace MifareZub
{
    /// <summary>
    /// Result codes of the library. Every export but <c>ErrMsg</c> returns one;
    /// 1 to 255 are the reader's status byte for a card command.
    /// </summary>
    public enum Status
    {
        /// <summary>Success.</summary>
        Ok = 0,
        /// <summary>No card, or not authenticated for that block; also a refused LED level.</summary>
        NoCard = 1,
        /// <summary>Card communication CRC error.</summary>
        CrcError = 2,
        /// <summary>The value of an increment or decrement overflowed.</summary>
        ValueOverflow = 3,
        /// <summary>Wrong key (or a key slot that was never loaded).</summary>
        WrongKey = 4,
        /// <summary>Card communication parity error.</summary>
        ParityError = 5,
        /// <summary>Card communication error.</summary>
        CommunicationError = 6,
        /// <summary>Invalid chip number.</summary>
        InvalidChip = 8,
        /// <summary>The sector's access conditions forbid the operation with that key.</summary>
        AccessDenied = 16,
        /// <summary>Card communication bit-count error.</summary>
        BitCountError = 17,
        /// <summary>Card communication byte-count error.</summary>
        ByteCountError = 18,
        /// <summary>Waiting for DV.</summary>
        WaitingForDV = 19,
        /// <summary>Value store error (a transfer with nothing to transfer).</summary>
        ValueStoreError = 20,
        /// <summary>Card write error.</summary>
        WriteError = 21,
        /// <summary>Increment error (the block is not a value block).</summary>
        IncrementError = 22,
        /// <summary>Decrement or restore error (the block is not a value block).</summary>
        DecrementError = 23,
        /// <summary>Card read error.</summary>
        ReadError = 24,
        /// <summary>Poll.</summary>
        Poll = 32,
        /// <summary>The reader does not implement the function (or refused its key type).</summary>
        NotImplemented = 255,
        /// <summary>-1: no open link, or <c>OpenComm</c> found no reader at the index.</summary>
        NoLink = -1,
        /// <summary>-2: the exchange failed: no reply within 100 ms, a damaged or foreign reply, or a refused request.</summary>
        ExchangeFailed = -2,
    }

    /// <summary>Key types for <see cref="Reader.LoadKey"/> and <see cref="Reader.Authenticate"/>.</summary>
    public enum KeyType
    {
        /// <summary>Key A of a sector.</summary>
        A = 0,
        /// <summary>Key B of a sector.</summary>
        B = 1,
    }

    /// <summary>
    /// A call into the library returned a nonzero result code.
    /// </summary>
    /// <remarks>
    /// <see cref="NoLinkException"/> is thrown for -1, <see cref="ExchangeException"/>
    /// for -2 and <see cref="CardException"/> for the reader's status bytes 1 to 255;
    /// any other code comes as this class itself.
    /// </remarks>
    public class MifareZubException : Exception
    {
        /// <summary>Creates the exception for a result code.</summary>
        /// <param name="code">The result code.</param>
        /// <param name="text">The library's message for the code.</param>
        /// <param name="function">The export that returned the code, or null.</param>
        public MifareZubException(int code, string text, string function)
            : base(Format(code, text, function))
        {
            Code = code;
            Text = text;
            Function = function;
            Description = Messages.Description(code);
        }

        /// <summary>The result code (-1, -2, or the reader's status byte 1 to 255).</summary>
        public int Code { get; private set; }

        /// <summary>The result code as a <see cref="MifareZub.Status"/> (a number outside the enum for codes it does not name).</summary>
        public Status Status { get { return (Status)Code; } }

        /// <summary>
        /// The library's message for the code (Simplified Chinese, decoded from GBK);
        /// the English <see cref="Description"/> when no GBK decoder is available.
        /// </summary>
        public string Text { get; private set; }

        /// <summary>An English description of the code.</summary>
        public string Description { get; private set; }

        /// <summary>The name of the library export that returned the code (<c>"mif_Read"</c>), or null.</summary>
        public string Function { get; private set; }

        static string Format(int code, string text, string function)
        {
            var where = function == null ? "" : function + ": ";
            return where + text + " (result " + code + ": " + Messages.Description(code) + ")";
        }

        internal static MifareZubException For(int code, string function)
        {
            var text = Messages.Text(code);
            if (code == (int)Status.NoLink) return new NoLinkException(text, function);
            if (code == (int)Status.ExchangeFailed) return new ExchangeException(text, function);
            if (code > 0 && code <= 255) return new CardException(code, text, function);
            return new MifareZubException(code, text, function);
        }
    }

    /// <summary>Result -1: the reader is not open, another <see cref="Reader"/> holds the link, or no reader answered at the device index.</summary>
    public class NoLinkException : MifareZubException
    {
        /// <summary>Creates the exception.</summary>
        /// <param name="text">The library's message for -1.</param>
        /// <param name="function">The export that returned -1, or null.</param>
        public NoLinkException(string text, string function) : base((int)Status.NoLink, text, function) { }
    }

    /// <summary>Result -2: no valid reply from the reader within 100 ms (lost, damaged, or answering another command), or a request the library refused to send.</summary>
    /// <remarks>The link stays open: the next command may go through.</remarks>
    public class ExchangeException : MifareZubException
    {
        /// <summary>Creates the exception.</summary>
        /// <param name="text">The library's message for -2.</param>
        /// <param name="function">The export that returned -2, or null.</param>
        public ExchangeException(string text, string function) : base((int)Status.ExchangeFailed, text, function) { }
    }

    /// <summary>Result 1 to 255: the reader's status byte for a card command.</summary>
    public class CardException : MifareZubException
    {
        /// <summary>Creates the exception.</summary>
        /// <param name="code">The reader's status byte.</param>
        /// <param name="text">The library's message for it.</param>
        /// <param name="function">The export that returned it, or null.</param>
        public CardException(int code, string text, string function) : base(code, text, function) { }
    }

    /// <summary>A block does not hold a well-formed value block: its copies disagree, or it is not 16 bytes.</summary>
    public class ValueBlockException : FormatException
    {
        /// <summary>Creates the exception.</summary>
        /// <param name="message">What is wrong with the block.</param>
        public ValueBlockException(string message) : base(message) { }
    }

    /// <summary>The library's messages for result codes.</summary>
    public static class Messages
    {
        const int GbkCodePage = 936;
        static readonly object gate = new object();
        static bool resolved;
        static Encoding gbk;

        /// <summary>
        /// The library's text for a result code (<c>ErrMsg</c>), decoded from GBK:
        /// <c>"OK"</c> for 0, <c>"没有卡或密码错"</c> for 1, <c>"错误：7"</c> for a code
        /// without a text of its own. Falls back to <see cref="Description"/> when the
        /// text is not plain ASCII and no GBK decoder is available.
        /// </summary>
        /// <param name="code">Any result code.</param>
        /// <exception cref="DllNotFoundException">The native library cannot be loaded.</exception>
        public static string Text(int code)
        {
            byte[] raw;
            lock (Reader.Gate)
            {
                using (var buffer = new TextBuffer(TextBuffer.MessageSize))
                {
                    var p = buffer.Pointer;
                    NativeMethods.ErrMsg(code, ref p);
                    raw = buffer.Take("ErrMsg");
                }
            }
            return Decode(raw, code);
        }

        /// <summary>An English description of a result code.</summary>
        /// <param name="code">Any result code.</param>
        public static string Description(int code)
        {
            switch (code)
            {
                case 0: return "success";
                case 1: return "no card, or not authenticated for that block";
                case 2: return "card communication CRC error";
                case 3: return "value overflow";
                case 4: return "wrong key";
                case 5: return "card communication parity error";
                case 6: return "card communication error";
                case 8: return "invalid chip number";
                case 16: return "the access conditions forbid it";
                case 17: return "card communication bit-count error";
                case 18: return "card communication byte-count error";
                case 19: return "waiting for DV";
                case 20: return "value store error";
                case 21: return "card write error";
                case 22: return "increment error";
                case 23: return "decrement error";
                case 24: return "card read error";
                case 32: return "poll";
                case 255: return "function not implemented";
                case -1: return "no open link, or no reader at that device index";
                case -2: return "the exchange with the reader failed";
                default: return "error " + code;
            }
        }

        // The GBK decoder, looked up once. .NET Core and .NET 5+ know only a few
        // code pages until CodePagesEncodingProvider is registered; it is found by
        // name so that the binding needs no package reference for it. Mono finds
        // code page 936 in its I18N.CJK assembly.
        internal static Encoding Gbk
        {
            get
            {
                lock (gate)
                {
                    if (!resolved)
                    {
                        gbk = FindGbk();
                        resolved = true;
                    }
                    return gbk;
                }
            }
        }

        static Encoding FindGbk()
        {
            try
            {
                return Encoding.GetEncoding(GbkCodePage);
            }
            catch (Exception e) when (e is ArgumentException || e is NotSupportedException)
            {
            }
            try
            {
                var provider = Type.GetType("System.Text.CodePagesEncodingProvider, System.Text.Encoding.CodePages", false);
                var instance = provider == null ? null : provider.GetProperty("Instance");
                var value = instance == null ? null : instance.GetValue(null, null) as EncodingProvider;
                if (value == null) return null;
                Encoding.RegisterProvider(value);
                return Encoding.GetEncoding(GbkCodePage);
            }
            catch (Exception e) when (e is ArgumentException || e is NotSupportedException ||
                                      e is System.Reflection.TargetInvocationException ||
                                      e is TypeLoadException || e is System.IO.IOException)
            {
                return null;
            }
        }

        // The text of `code` from its GBK bytes: ASCII as it is, anything else
        // through the GBK decoder or, without one, the English description.
        internal static string Decode(byte[] raw, int code)
        {
            return Decode(raw, code, Gbk);
        }

        internal static string Decode(byte[] raw, int code, Encoding decoder)
        {
            var ascii = true;
            foreach (var b in raw) ascii &= b < 0x80;
            if (ascii) return Encoding.ASCII.GetString(raw);
            if (decoder == null) return Description(code);
            return decoder.GetString(raw);
        }
    }

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

    /// <summary>A card found and selected by <see cref="Reader.SelectCard"/>.</summary>
    public sealed class Card
    {
        readonly byte[] serial;

        /// <summary>Creates the record of a selected card.</summary>
        /// <param name="atqa">The answer to request.</param>
        /// <param name="serial">The 5-byte serial: 4 UID bytes and their check byte.</param>
        /// <param name="sak">The select answer.</param>
        public Card(int atqa, byte[] serial, int sak)
        {
            Args.Data("serial", serial, 5);
            Atqa = atqa;
            this.serial = (byte[])serial.Clone();
            Sak = sak;
        }

        /// <summary>Answer to request, first byte most significant (0x0400 for a 1K card, 0x0200 for a 4K card).</summary>
        public int Atqa { get; private set; }

        /// <summary>The serial as anticollision gave it: the 4 UID bytes and their check byte (a copy).</summary>
        public byte[] Serial { get { return (byte[])serial.Clone(); } }

        /// <summary>The card's 4-byte UID (a copy).</summary>
        public byte[] Uid
        {
            get
            {
                var uid = new byte[4];
                Array.Copy(serial, uid, 4);
                return uid;
            }
        }

        /// <summary>Select answer (0x08 for a 1K card, 0x18 for a 4K card).</summary>
        public int Sak { get; private set; }

        /// <summary>The 5-byte serial of a 4-byte UID: the UID and its check byte (the XOR of the four).</summary>
        /// <param name="uid">The 4-byte UID.</param>
        /// <exception cref="ArgumentException"><paramref name="uid"/> is null or not 4 bytes.</exception>
        public static byte[] SerialOf(byte[] uid)
        {
            Args.Data("uid", uid, 4);
            return new[] { uid[0], uid[1], uid[2], uid[3], (byte)(uid[0] ^ uid[1] ^ uid[2] ^ uid[3]) };
        }

        /// <summary>The UID, ATQA and SAK in hex.</summary>
        public override string ToString()
        {
            return "UID " + Hex.Of(Uid) + ", ATQA " + Atqa.ToString("X4") + ", SAK " + Sak.ToString("X2");
        }
    }

    /// <summary>
    /// A USB MIFARE Classic card reader, opened at a USB device index.
    /// </summary>
    /// <remarks>
    /// <para>The reader is opened on construction and closed by <see cref="Dispose"/>
    /// (or <see cref="Close"/>):</para>
    /// <code>
    /// using (var reader = new Reader(0))
    /// {
    ///     var card = reader.SelectCard();
    ///     reader.LoadKey(KeyType.A, 0, new byte[] { 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF });
    ///     reader.Authenticate(KeyType.A, 0, 4);
    ///     byte[] data = reader.Read(4);
    /// }
    /// </code>
    /// <para>Every command throws a <see cref="MifareZubException"/> for a nonzero
    /// result: <see cref="NoLinkException"/> (-1), <see cref="ExchangeException"/> (-2)
    /// or <see cref="CardException"/> (the reader's status byte), each with the code,
    /// the library's text, an English description and the export that failed.
    /// Arguments the library would refuse (a block beyond 255, a key that is not
    /// 6 bytes) throw an <see cref="ArgumentException"/> before anything is sent.</para>
    /// <para><b>One link.</b> The library keeps one reader link per process.
    /// Opening a reader closes the link of any other <see cref="Reader"/>, which then
    /// throws <see cref="NoLinkException"/> until it is opened again; closing a reader
    /// that no longer holds the link leaves the other's link alone.</para>
    /// <para><b>Threads.</b> The library runs one call at a time. Every call of every
    /// <see cref="Reader"/> (and <see cref="Messages.Text"/>) takes one process-wide
    /// lock, so a reader may be used from several threads; each command waits for
    /// the one before it (at most about 100 ms each, longer for <see cref="BeepMs"/>).</para>
    /// </remarks>
    public sealed class Reader : IDisposable
    {
        // One lock and one link holder for the whole process: the library has
        // one link, whichever Reader opened it.
        internal static readonly object Gate = new object();
        static Reader owner;

        bool disposed;

        /// <summary>Opens the reader at a USB device index (<c>OpenComm</c>); any link open before is closed first.</summary>
        /// <param name="device">The USB device index, 0 to 255.</param>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="device"/> is outside 0 to 255.</exception>
        /// <exception cref="NoLinkException">No reader answers at that index.</exception>
        /// <exception cref="DllNotFoundException">The native library cannot be loaded.</exception>
        public Reader(int device = 0)
        {
            Device = Args.Byte("device", device);
            Open();
        }

        /// <summary>The USB device index this reader opens.</summary>
        public int Device { get; private set; }

        /// <summary>Whether this reader holds the library's link.</summary>
        public bool IsOpen
        {
            get
            {
                lock (Gate) return owner == this;
            }
        }

        /// <summary>Opens the reader again (<c>OpenComm</c>), taking the link from any other reader.</summary>
        /// <exception cref="NoLinkException">No reader answers at the device index.</exception>
        /// <exception cref="ObjectDisposedException">The reader was disposed.</exception>
        public void Open()
        {
            lock (Gate)
            {
                CheckNotDisposed();
                owner = null;
                Check("OpenComm", NativeMethods.OpenComm(Device, 0));
                owner = this;
            }
        }

        /// <summary>Closes the reader (<c>CloseComm</c>) when it holds the link; harmless otherwise. <see cref="Open"/> opens it again.</summary>
        public void Close()
        {
            lock (Gate)
            {
                if (owner != this) return;
                owner = null;
                NativeMethods.CloseComm();
            }
        }

        /// <summary>Closes the reader (see <see cref="Close"/>); any later command throws <see cref="ObjectDisposedException"/>.</summary>
        public void Dispose()
        {
            lock (Gate)
            {
                Close();
                disposed = true;
            }
        }

        /// <summary>The device index and whether the reader is open.</summary>
        public override string ToString()
        {
            return "MifareZub.Reader device " + Device + (IsOpen ? " open" : " closed");
        }

        // ---- Card commands -------------------------------------------------

        /// <summary>Wakes the cards in the field (<c>mif_Request</c>).</summary>
        /// <param name="allCards">true: halted cards answer too; false: only idle ones.</param>
        /// <returns>The answer to request, first byte most significant (0x0400 for a 1K card, 0x0200 for a 4K card).</returns>
        /// <exception cref="CardException">No card answered (status 1).</exception>
        public int Request(bool allCards = true)
        {
            lock (Gate)
            {
                Ready("mif_Request");
                int tagType;
                Check("mif_Request", NativeMethods.mif_Request(allCards ? 1 : 0, out tagType));
                return tagType;
            }
        }

        /// <summary>Returns the serial of a card in the field (<c>mif_Anticollision</c>).</summary>
        /// <returns>5 bytes: the 4-byte UID and its check byte.</returns>
        public byte[] Anticollision()
        {
            lock (Gate)
            {
                Ready("mif_Anticollision");
                using (var buffer = new TextBuffer(TextBuffer.SerialSize))
                {
                    var p = buffer.Pointer;
                    Check("mif_Anticollision", NativeMethods.mif_Anticollision(ref p));
                    return Hex.Parse(buffer.Take("mif_Anticollision"), 5, "mif_Anticollision");
                }
            }
        }

        /// <summary>Selects the card with this serial (<c>mif_Select</c>).</summary>
        /// <param name="serial">The 4-byte UID, or the 5 bytes <see cref="Anticollision"/> returned.</param>
        /// <returns>The select answer (SAK: 0x08 for a 1K card, 0x18 for a 4K card).</returns>
        /// <exception cref="ArgumentException"><paramref name="serial"/> is null or neither 4 nor 5 bytes.</exception>
        public int Select(byte[] serial)
        {
            Args.Data("serial", serial, 4, 5);
            lock (Gate)
            {
                Ready("mif_Select");
                int sak;
                Check("mif_Select", NativeMethods.mif_Select(Hex.Text(serial), out sak));
                return sak;
            }
        }

        /// <summary>Request, anticollision and select in one.</summary>
        /// <param name="allCards">true: halted cards answer too; false: only idle ones.</param>
        /// <returns>The selected card.</returns>
        public Card SelectCard(bool allCards = true)
        {
            lock (Gate)
            {
                var atqa = Request(allCards);
                var serial = Anticollision();
                var sak = Select(serial);
                return new Card(atqa, serial, sak);
            }
        }

        /// <summary>Stores a 6-byte key in the reader's key store (<c>mif_LoadKey</c>). Needs no card.</summary>
        /// <param name="keyType">Key A or key B (the reader answers 255 to any other number).</param>
        /// <param name="slot">The key slot, 0 to 255.</param>
        /// <param name="key">The 6-byte key.</param>
        /// <exception cref="ArgumentException">A number outside 0 to 255, or a key that is null or not 6 bytes.</exception>
        public void LoadKey(KeyType keyType, int slot, byte[] key)
        {
            var type = Args.Byte("keyType", (int)keyType);
            Args.Byte("slot", slot);
            Args.Data("key", key, 6);
            Call("mif_LoadKey", () => NativeMethods.mif_LoadKey(type, slot, Hex.Text(key)));
        }

        /// <summary>Authenticates the sector of <paramref name="block"/> with a stored key (<c>mif_Authentication</c>).</summary>
        /// <remarks>A wrong key throws <see cref="CardException"/> (status 4) and leaves the card idle: select it again before retrying.</remarks>
        /// <param name="keyType">Key A or key B.</param>
        /// <param name="slot">The key slot holding the key, 0 to 255.</param>
        /// <param name="block">Any block of the sector, 0 to 255.</param>
        /// <exception cref="ArgumentOutOfRangeException">A number outside 0 to 255.</exception>
        public void Authenticate(KeyType keyType, int slot, int block)
        {
            var type = Args.Byte("keyType", (int)keyType);
            Args.Byte("slot", slot);
            Args.Byte("block", block);
            Call("mif_Authentication", () => NativeMethods.mif_Authentication(type, slot, block));
        }

        /// <summary>Reads a block of the authenticated sector (<c>mif_Read</c>).</summary>
        /// <param name="block">The block, 0 to 255.</param>
        /// <returns>The block's 16 bytes.</returns>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="block"/> is outside 0 to 255.</exception>
        public byte[] Read(int block)
        {
            Args.Byte("block", block);
            lock (Gate)
            {
                Ready("mif_Read");
                using (var buffer = new TextBuffer(TextBuffer.BlockSize))
                {
                    var p = buffer.Pointer;
                    Check("mif_Read", NativeMethods.mif_Read(block, ref p));
                    return Hex.Parse(buffer.Take("mif_Read"), 16, "mif_Read");
                }
            }
        }

        /// <summary>Writes 16 bytes into a block of the authenticated sector (<c>mif_Write</c>).</summary>
        /// <param name="block">The block, 0 to 255.</param>
        /// <param name="data">The 16 bytes.</param>
        /// <exception cref="ArgumentException">A block outside 0 to 255, or data that is null or not 16 bytes.</exception>
        public void Write(int block, byte[] data)
        {
            Args.Byte("block", block);
            Args.Data("data", data, 16);
            Call("mif_Write", () => NativeMethods.mif_Write(block, Hex.Text(data)));
        }

        /// <summary>Adds <paramref name="value"/> to value block <paramref name="block"/> into the card's transfer buffer (<c>mif_Increment</c>); <see cref="Transfer"/> stores the result.</summary>
        /// <param name="block">The value block, 0 to 255.</param>
        /// <param name="value">The amount.</param>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="block"/> is outside 0 to 255.</exception>
        public void Increment(int block, int value)
        {
            Args.Byte("block", block);
            Call("mif_Increment", () => NativeMethods.mif_Increment(block, value));
        }

        /// <summary>Subtracts <paramref name="value"/> from value block <paramref name="block"/> into the card's transfer buffer (<c>mif_Decrement</c>); <see cref="Transfer"/> stores the result.</summary>
        /// <param name="block">The value block, 0 to 255.</param>
        /// <param name="value">The amount.</param>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="block"/> is outside 0 to 255.</exception>
        public void Decrement(int block, int value)
        {
            Args.Byte("block", block);
            Call("mif_Decrement", () => NativeMethods.mif_Decrement(block, value));
        }

        /// <summary>Copies value block <paramref name="block"/> into the card's transfer buffer (<c>mif_Restore</c>).</summary>
        /// <param name="block">The value block, 0 to 255.</param>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="block"/> is outside 0 to 255.</exception>
        public void Restore(int block)
        {
            Args.Byte("block", block);
            Call("mif_Restore", () => NativeMethods.mif_Restore(block));
        }

        /// <summary>Writes the card's transfer buffer into <paramref name="block"/> (<c>mif_Transfer</c>).</summary>
        /// <param name="block">The block, 0 to 255, in the sector of the source block.</param>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="block"/> is outside 0 to 255.</exception>
        public void Transfer(int block)
        {
            Args.Byte("block", block);
            Call("mif_Transfer", () => NativeMethods.mif_Transfer(block));
        }

        /// <summary>Halts the selected card (<c>mif_Halt</c>); only a request for all cards wakes it again.</summary>
        public void Halt()
        {
            Call("mif_Halt", () => NativeMethods.mif_Halt());
        }

        // ---- Value blocks --------------------------------------------------

        /// <summary>Reads value block <paramref name="block"/> and returns its value.</summary>
        /// <param name="block">The block, 0 to 255.</param>
        /// <exception cref="ValueBlockException">The block does not hold a well-formed value block.</exception>
        public int ReadValue(int block)
        {
            return ValueBlock.Decode(Read(block)).Value;
        }

        /// <summary>Makes <paramref name="block"/> a value block holding <paramref name="value"/>, with the block's own number as its address.</summary>
        /// <param name="block">The block, 0 to 255.</param>
        /// <param name="value">The value.</param>
        public void WriteValue(int block, int value)
        {
            WriteValue(block, value, block);
        }

        /// <summary>Makes <paramref name="block"/> a value block holding <paramref name="value"/> and <paramref name="address"/>.</summary>
        /// <param name="block">The block, 0 to 255.</param>
        /// <param name="value">The value.</param>
        /// <param name="address">The address byte, 0 to 255.</param>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="block"/> or <paramref name="address"/> is outside 0 to 255.</exception>
        public void WriteValue(int block, int value, int address)
        {
            Args.Byte("block", block);
            Write(block, ValueBlock.Encode(value, address));
        }

        // ---- Reader signals ------------------------------------------------

        /// <summary>Switches the beeper on or off (<c>zub_beep</c>).</summary>
        /// <param name="on">true: on.</param>
        public void Beep(bool on = true)
        {
            Call("zub_beep", () => NativeMethods.zub_beep(on ? 1 : 0));
        }

        /// <summary>Beeps for <paramref name="ms"/> milliseconds (<c>zub_beepms</c>); the call, and every other call meanwhile, waits that long.</summary>
        /// <param name="ms">The time, 0 or more milliseconds.</param>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="ms"/> is negative.</exception>
        public void BeepMs(int ms)
        {
            if (ms < 0) throw new ArgumentOutOfRangeException("ms", ms, "ms must not be negative");
            Call("zub_beepms", () => NativeMethods.zub_beepms(ms));
        }

        /// <summary>Switches LED <paramref name="led"/> on or off (<c>zub_LED</c>).</summary>
        /// <param name="led">The LED, 0 to 255.</param>
        /// <param name="on">true: on.</param>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="led"/> is outside 0 to 255.</exception>
        public void Led(int led, bool on = true)
        {
            Args.Byte("led", led);
            Call("zub_LED", () => NativeMethods.zub_LED(led, on ? 1 : 0));
        }

        /// <summary>Sets the LED level (<c>zub_LEDx</c>).</summary>
        /// <param name="level">0, 127 or 255.</param>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="level"/> is none of 0, 127, 255.</exception>
        public void LedLevel(int level)
        {
            if (level != 0 && level != 127 && level != 255)
                throw new ArgumentOutOfRangeException("level", level, "the LED level is 0, 127 or 255");
            Call("zub_LEDx", () => NativeMethods.zub_LEDx(level));
        }

        /// <summary>Relay control (<c>mif_CtrlRelay</c>): accepted; the reader has no relay.</summary>
        /// <param name="relay">The relay number.</param>
        /// <param name="on">true: on.</param>
        public void Relay(int relay, bool on = true)
        {
            Call("mif_CtrlRelay", () => NativeMethods.mif_CtrlRelay(relay, on ? 1 : 0));
        }

        // ---- Calls ---------------------------------------------------------

        void CheckNotDisposed()
        {
            if (disposed) throw new ObjectDisposedException(GetType().FullName);
        }

        // A reader that does not hold the link sends nothing: the link (if any)
        // is another reader's, and a command on it would act for that reader.
        void Ready(string function)
        {
            CheckNotDisposed();
            if (owner != this) throw MifareZubException.For((int)Status.NoLink, function);
        }

        static void Check(string function, int code)
        {
            if (code != 0) throw MifareZubException.For(code, function);
        }

        void Call(string function, Func<int> call)
        {
            lock (Gate)
            {
                Ready(function);
                Check(function, call());
            }
        }
    }

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
        // else than `count` bytes in hex digits is not a reply we can trust.
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

        static Exception Malformed(string function, byte[] text)
        {
            return new InvalidOperationException(function + " reported success with an unexpected text: \"" +
                                                 Encoding.ASCII.GetString(text) + "\"");
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

    // The twenty exports, declared as include/MifareZUB.h has them: int32_t
    // results and arguments, text inputs as zero-terminated byte arrays (hex
    // digits, so no code page applies), text outputs as the address of a
    // variable holding a buffer address, number outputs as int32_t*.
    // On x64 Windows and elsewhere the runtime ignores StdCall.
    static class NativeMethods
    {
        internal const string Library = "MifareZUB";

        [DllImport(Library, EntryPoint = "OpenComm", CallingConvention = CallingConvention.StdCall)]
        internal static extern int OpenComm(int deviceIndex, int param);

        [DllImport(Library, EntryPoint = "CloseComm", CallingConvention = CallingConvention.StdCall)]
        internal static extern int CloseComm();

        [DllImport(Library, EntryPoint = "mif_Request", CallingConvention = CallingConvention.StdCall)]
        internal static extern int mif_Request(int mode, out int tagType);

        [DllImport(Library, EntryPoint = "mif_Anticollision", CallingConvention = CallingConvention.StdCall)]
        internal static extern int mif_Anticollision(ref IntPtr serial);

        [DllImport(Library, EntryPoint = "mif_Select", CallingConvention = CallingConvention.StdCall)]
        internal static extern int mif_Select(byte[] serial, out int size);

        [DllImport(Library, EntryPoint = "mif_LoadKey", CallingConvention = CallingConvention.StdCall)]
        internal static extern int mif_LoadKey(int a, int b, byte[] key);

        [DllImport(Library, EntryPoint = "mif_Authentication", CallingConvention = CallingConvention.StdCall)]
        internal static extern int mif_Authentication(int a, int b, int c);

        [DllImport(Library, EntryPoint = "mif_Read", CallingConvention = CallingConvention.StdCall)]
        internal static extern int mif_Read(int block, ref IntPtr data);

        [DllImport(Library, EntryPoint = "mif_Write", CallingConvention = CallingConvention.StdCall)]
        internal static extern int mif_Write(int block, byte[] data);

        [DllImport(Library, EntryPoint = "mif_Increment", CallingConvention = CallingConvention.StdCall)]
        internal static extern int mif_Increment(int block, int value);

        [DllImport(Library, EntryPoint = "mif_Decrement", CallingConvention = CallingConvention.StdCall)]
        internal static extern int mif_Decrement(int block, int value);

        [DllImport(Library, EntryPoint = "mif_Restore", CallingConvention = CallingConvention.StdCall)]
        internal static extern int mif_Restore(int block);

        [DllImport(Library, EntryPoint = "mif_Transfer", CallingConvention = CallingConvention.StdCall)]
        internal static extern int mif_Transfer(int block);

        [DllImport(Library, EntryPoint = "mif_Halt", CallingConvention = CallingConvention.StdCall)]
        internal static extern int mif_Halt();

        [DllImport(Library, EntryPoint = "zub_beep", CallingConvention = CallingConvention.StdCall)]
        internal static extern int zub_beep(int on);

        [DllImport(Library, EntryPoint = "zub_beepms", CallingConvention = CallingConvention.StdCall)]
        internal static extern int zub_beepms(int ms);

        [DllImport(Library, EntryPoint = "zub_LED", CallingConvention = CallingConvention.StdCall)]
        internal static extern int zub_LED(int led, int on);

        [DllImport(Library, EntryPoint = "zub_LEDx", CallingConvention = CallingConvention.StdCall)]
        internal static extern int zub_LEDx(int level);

        [DllImport(Library, EntryPoint = "mif_CtrlRelay", CallingConvention = CallingConvention.StdCall)]
        internal static extern int mif_CtrlRelay(int relay, int on);

        [DllImport(Library, EntryPoint = "ErrMsg", CallingConvention = CallingConvention.StdCall)]
        internal static extern void ErrMsg(int code, ref IntPtr text);
    }
}
