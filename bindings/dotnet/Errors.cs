// What a failed call throws, and the library's messages for result codes:
// the GBK text from ErrMsg and an English description of each code.

using System;
using System.Text;

namespace MifareZub
{
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
            : this(code, text, function, null)
        {
        }

        /// <summary>Creates the exception for a result code, with a description of its own.</summary>
        /// <param name="code">The result code.</param>
        /// <param name="text">The library's message for the code.</param>
        /// <param name="function">The export that returned the code, or null.</param>
        /// <param name="description">What went wrong in English; null for the code's own description.</param>
        public MifareZubException(int code, string text, string function, string description)
            : base(Format(code, text, function, description ?? Messages.Description(code)))
        {
            Code = code;
            Text = text;
            Function = function;
            Description = description ?? Messages.Description(code);
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

        static string Format(int code, string text, string function, string description)
        {
            var where = function == null ? "" : function + ": ";
            return where + text + " (result " + code + ": " + description + ")";
        }

        internal static MifareZubException For(int code, string function)
        {
            return For(code, function, null);
        }

        internal static MifareZubException For(int code, string function, string description)
        {
            var text = Messages.Text(code);
            if (code == (int)Status.NoLink) return new NoLinkException(text, function, description);
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

        /// <summary>Creates the exception with a description of its own (why the reader could not be opened).</summary>
        /// <param name="text">The library's message for -1.</param>
        /// <param name="function">The export that returned -1, or null.</param>
        /// <param name="description">What went wrong in English; null for the code's own description.</param>
        public NoLinkException(string text, string function, string description)
            : base((int)Status.NoLink, text, function, description) { }
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

        /// <summary>
        /// The English description of a result code, as the C header's
        /// <c>MZ_STATUS_TABLE</c> has it (<c>"wrong key"</c> for 4);
        /// <c>"unknown result"</c> for a code without a name.
        /// </summary>
        /// <param name="code">Any result code.</param>
        public static string Description(int code)
        {
            switch (code)
            {
                case (int)Status.Ok: return "success";
                case (int)Status.NoCard: return "no card answers, or the sector is not authenticated";
                case (int)Status.CrcError: return "CRC error in the exchange with the card";
                case (int)Status.ValueOverflow: return "value overflow";
                case (int)Status.WrongKey: return "wrong key";
                case (int)Status.ParityError: return "parity error in the exchange with the card";
                case (int)Status.CardError: return "the exchange with the card failed";
                case (int)Status.InvalidSerial: return "invalid serial number";
                case (int)Status.NoPermission: return "the access conditions forbid it";
                case (int)Status.BitCountError: return "wrong bit count in the exchange with the card";
                case (int)Status.ByteCountError: return "wrong byte count in the exchange with the card";
                case (int)Status.Waiting: return "waiting for DV";
                case (int)Status.ValueStoreError: return "nothing to transfer, or the value was not stored";
                case (int)Status.WriteError: return "write failed, or the block is outside the card";
                case (int)Status.IncrementError: return "increment failed: not a value block";
                case (int)Status.DecrementError: return "decrement or restore failed: not a value block";
                case (int)Status.ReadError: return "read failed, or the block is outside the card";
                case (int)Status.Poll: return "poll";
                case (int)Status.NotImplemented: return "the reader does not know the command";
                case (int)Status.NoLink: return "reader not open or not answering";
                case (int)Status.ExchangeFailed: return "no valid reply from the reader";
                default: return "unknown result";
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
            if (decoder == null)
            {
                // The library's text of a code without a name holds the number: keep it.
                var description = Description(code);
                return description == Description(int.MinValue) ? description + " " + code : description;
            }
            return decoder.GetString(raw);
        }
    }
}
