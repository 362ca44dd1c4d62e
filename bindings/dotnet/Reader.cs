// The reader: the one link of the library, its card commands and signals,
// each call under one process-wide lock.

using System;

namespace MifareZub
{
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
                var code = NativeMethods.OpenComm(Device, 0);
                // A reader that is there but may not be opened says so.
                if (code != 0) throw MifareZubException.For(code, "OpenComm", OpenFailure.Reason());
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

        /// <summary>
        /// Waits until a card answers in the field and selects it, like <c>zubtool scan --wait</c>:
        /// request, anticollision and select every 100 ms. Other threads may use the reader
        /// between attempts.
        /// </summary>
        /// <param name="timeout">How long to wait; <see cref="System.Threading.Timeout.InfiniteTimeSpan"/>
        /// (or any negative span of -1 ms) for ever, <see cref="TimeSpan.Zero"/> for one attempt.</param>
        /// <returns>The selected card, or null when none came within <paramref name="timeout"/>.</returns>
        /// <exception cref="NoLinkException">The reader is not open.</exception>
        /// <exception cref="ExchangeException">The reader stopped answering.</exception>
        /// <exception cref="ArgumentOutOfRangeException">A negative timeout other than -1 ms.</exception>
        public Card WaitForCard(TimeSpan timeout)
        {
            var forever = timeout == System.Threading.Timeout.InfiniteTimeSpan;
            if (timeout < TimeSpan.Zero && !forever)
                throw new ArgumentOutOfRangeException("timeout", "a timeout of 0 or more, or Timeout.InfiniteTimeSpan");
            var clock = System.Diagnostics.Stopwatch.StartNew();
            var interval = TimeSpan.FromMilliseconds(100);
            for (;;)
            {
                try
                {
                    return SelectCard();
                }
                catch (CardException)
                {
                    // No card yet, or one that did not answer in full.
                }
                if (!forever && clock.Elapsed >= timeout) return null;
                var pause = forever ? interval : timeout - clock.Elapsed;
                if (pause > interval) pause = interval;
                if (pause > TimeSpan.Zero) System.Threading.Thread.Sleep(pause);
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
}
