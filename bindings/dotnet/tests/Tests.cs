// The C# binding against libMifareZUB.so and the virtual reader beside it.
//
// Usage: mono Tests.exe MifareZUB.def [name filter]
// The native libraries are found on LD_LIBRARY_PATH (the build's bin folder).
// Each test starts from a fresh virtual reader with no link open; the tests
// reach the virtual reader through its control API to set up cards and faults
// and to see what the reader did.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using MifareZub;

static class Sim
{
    const string Library = "CH375DLL";
    public const int Card1K = 1, Card4K = 4;
    public const int FaultNoReply = 1, FaultLostRequest = 2, FaultBadCheck = 3, FaultOtherCommand = 4, FaultTruncated = 5;
    public const int FaultStatus = 9;

    [DllImport(Library)] public static extern void zubsim_reset();
    [DllImport(Library)] public static extern void zubsim_set_device_index(int index);
    [DllImport(Library)] public static extern int zubsim_device_open();
    [DllImport(Library)] public static extern int zubsim_beeper_on();
    [DllImport(Library)] public static extern uint zubsim_beep_count();
    [DllImport(Library)] public static extern int zubsim_led_on(int led);
    [DllImport(Library)] public static extern int zubsim_led_level();
    [DllImport(Library)] static extern int zubsim_stored_key(int type, int slot, byte[] key);
    [DllImport(Library)] public static extern int zubsim_new_card(int type, byte[] uid);
    [DllImport(Library)] static extern UIntPtr zubsim_card_image(byte[] buffer, UIntPtr capacity);
    [DllImport(Library)] public static extern void zubsim_take_out_card();
    [DllImport(Library)] public static extern int zubsim_put_back_card();
    [DllImport(Library)] public static extern int zubsim_card_state();
    [DllImport(Library)] static extern UIntPtr zubsim_trace(byte[] buffer, UIntPtr capacity);
    [DllImport(Library)] public static extern void zubsim_clear_trace();
    [DllImport(Library)] public static extern void zubsim_fault_exchange(int kind, int arg, uint count);

    public static bool DeviceOpen { get { return zubsim_device_open() != 0; } }

    public static byte[] StoredKey(int type, int slot)
    {
        var key = new byte[6];
        return zubsim_stored_key(type, slot, key) == 0 ? key : null;
    }

    public static byte[] Block(int number)
    {
        var size = zubsim_card_image(null, UIntPtr.Zero);
        var image = new byte[(int)size];
        zubsim_card_image(image, size);
        return image.Skip(16 * number).Take(16).ToArray();
    }

    public static string Trace()
    {
        var size = (int)zubsim_trace(null, UIntPtr.Zero);
        var text = new byte[size + 1];
        zubsim_trace(text, (UIntPtr)text.Length);
        return Encoding.ASCII.GetString(text, 0, size);
    }
}

// The exports as a host writing its own declarations would use them, to see
// exactly what the library writes into a host's buffers.
static class Raw
{
    [DllImport("MifareZUB")] public static extern int CloseComm();
    [DllImport("MifareZUB")] public static extern int mif_Anticollision(ref IntPtr serial);
    [DllImport("MifareZUB")] public static extern int mif_Read(int block, ref IntPtr data);
    [DllImport("MifareZUB")] public static extern void ErrMsg(int code, ref IntPtr text);
}

class Failure : Exception
{
    public Failure(string message) : base(message) { }
}

static class Tests
{
    static readonly byte[] TransportKey = Bytes("FFFFFFFFFFFF");
    static readonly byte[] Greeting = Encoding.ASCII.GetBytes("Hello, card!").Concat(new byte[] { 0, 0, 0, 0xFF }).ToArray();
    static readonly byte[] Example = Bytes("87D612007829EDFF87D6120011EE11EE");
    static string defFile;

    // ---- Checks ------------------------------------------------------------

    static byte[] Bytes(string hex)
    {
        return Enumerable.Range(0, hex.Length / 2).Select(i => Convert.ToByte(hex.Substring(2 * i, 2), 16)).ToArray();
    }

    static string Show(object value)
    {
        var bytes = value as byte[];
        if (bytes != null) return BitConverter.ToString(bytes);
        return value == null ? "null" : "\"" + value + "\"";
    }

    static void Equal(object expected, object actual, string what)
    {
        var same = expected is byte[] && actual is byte[]
                       ? ((byte[])expected).SequenceEqual((byte[])actual)
                       : Equals(expected, actual);
        if (!same) throw new Failure(what + ": expected " + Show(expected) + ", got " + Show(actual));
    }

    static void True(bool condition, string what)
    {
        if (!condition) throw new Failure(what);
    }

    static T Throws<T>(Action action, string what) where T : Exception
    {
        try
        {
            action();
        }
        catch (T e)
        {
            return e;
        }
        catch (Exception e)
        {
            throw new Failure(what + ": expected " + typeof(T).Name + ", got " + e.GetType().Name + ": " + e.Message);
        }
        throw new Failure(what + ": expected " + typeof(T).Name + ", nothing was thrown");
    }

    static Reader Authenticated(Reader reader)
    {
        reader.SelectCard();
        reader.LoadKey(KeyType.A, 0, TransportKey);
        reader.Authenticate(KeyType.A, 0, 4);
        return reader;
    }

    // ---- The declarations --------------------------------------------------

    // Every export of the .def file is declared once, under its own name, as
    // stdcall, with the header's types.
    static void Declarations()
    {
        var exports = File.ReadAllLines(defFile)
                          .Select(l => l.Trim())
                          .Where(l => l.Contains("@") && !l.StartsWith(";"))
                          .Select(l => l.Split(' ')[0])
                          .ToList();
        Equal(20, exports.Count, "exports in the .def file");
        var native = typeof(Reader).Assembly.GetType("MifareZub.NativeMethods", true);
        var methods = native.GetMethods(BindingFlags.Static | BindingFlags.NonPublic | BindingFlags.Public)
                          .Where(m => (m.Attributes & MethodAttributes.PinvokeImpl) != 0)
                          .ToList();
        var declared = new List<string>();
        foreach (var m in methods)
        {
            var import = (DllImportAttribute)m.GetCustomAttributes(typeof(DllImportAttribute), false).Single();
            Equal("MifareZUB", import.Value, m.Name + " library");
            Equal(CallingConvention.StdCall, import.CallingConvention, m.Name + " convention");
            Equal(m.Name, import.EntryPoint, m.Name + " entry point");
            declared.Add(import.EntryPoint);

            Equal(m.Name == "ErrMsg" ? typeof(void) : typeof(int), m.ReturnType, m.Name + " result");
            foreach (var p in m.GetParameters())
            {
                var t = p.ParameterType;
                var ok = t == typeof(int) ||
                         (t == typeof(IntPtr).MakeByRefType() && !p.IsOut) || // char** text output
                         (t == typeof(int).MakeByRefType() && p.IsOut) ||     // int32_t* output
                         t == typeof(byte[]);                                 // const char* hex input
                True(ok, m.Name + " parameter " + p.Name + " has type " + t);
            }
        }
        Equal(string.Join(",", exports.OrderBy(n => n, StringComparer.Ordinal)),
              string.Join(",", declared.OrderBy(n => n, StringComparer.Ordinal)), "declared exports");
        // The text outputs and number outputs sit where the header has them.
        Func<string, string> shape = name =>
            string.Join(",", native.GetMethod(name, BindingFlags.Static | BindingFlags.NonPublic)
                                 .GetParameters().Select(p => p.ParameterType.Name + (p.IsOut ? " out" : "")));
        Equal("IntPtr&", shape("mif_Anticollision"), "mif_Anticollision parameters");
        Equal("Int32,IntPtr&", shape("mif_Read"), "mif_Read parameters");
        Equal("Int32,IntPtr&", shape("ErrMsg"), "ErrMsg parameters");
        Equal("Byte[],Int32& out", shape("mif_Select"), "mif_Select parameters");
        Equal("Int32,Int32& out", shape("mif_Request"), "mif_Request parameters");
        Equal("Int32,Int32,Byte[]", shape("mif_LoadKey"), "mif_LoadKey parameters");
    }

    // ---- Sessions ----------------------------------------------------------

    static void CardSession()
    {
        Reader kept;
        using (var reader = new Reader(0))
        {
            kept = reader;
            True(reader.IsOpen && Sim.DeviceOpen, "the reader is open");
            Equal(0x0400, reader.Request(), "ATQA");
            var serial = reader.Anticollision();
            Equal(Bytes("1A7B8C54B9"), serial, "serial");
            Equal(0x08, reader.Select(serial), "SAK");

            reader.LoadKey(KeyType.A, 0, TransportKey);
            Equal(TransportKey, Sim.StoredKey(0, 0), "stored key");
            reader.Authenticate(KeyType.A, 0, 4);
            Equal(new byte[16], reader.Read(4), "new block 4");
            reader.Write(4, Greeting);
            Equal(Greeting, reader.Read(4), "block 4 read back");
            Equal(Greeting, Sim.Block(4), "block 4 on the card");

            reader.WriteValue(5, 100);
            Equal(ValueBlock.Encode(100, 5), Sim.Block(5), "value block on the card");
            reader.Increment(5, 25);
            reader.Transfer(5);
            reader.Decrement(5, 10);
            reader.Transfer(5);
            Equal(115, reader.ReadValue(5), "value after increment and decrement");
            reader.Restore(5);
            reader.Transfer(6);
            // The transfer keeps the source block's address byte.
            Equal(new ValueBlock(115, 5), ValueBlock.Decode(reader.Read(6)), "restored value block");

            reader.Halt();
            var idle = Throws<CardException>(() => reader.Request(false), "request idle after halt");
            Equal(Status.NoCard, idle.Status, "status after halt");
            var card = reader.SelectCard(true);
            Equal(Bytes("1A7B8C54"), card.Uid, "UID");
            Equal(0x08, card.Sak, "SAK of the card");
            Equal(0x0400, card.Atqa, "ATQA of the card");

            reader.Beep();
            True(Sim.zubsim_beeper_on() != 0, "beeper on");
            reader.Beep(false);
            reader.BeepMs(0);
            True(Sim.zubsim_beeper_on() == 0, "beeper off");
            Equal(2u, Sim.zubsim_beep_count(), "beeps");
            reader.Led(1);
            True(Sim.zubsim_led_on(1) != 0, "LED 1 on");
            reader.Led(1, false);
            True(Sim.zubsim_led_on(1) == 0, "LED 1 off");
            reader.LedLevel(127);
            Equal(127, Sim.zubsim_led_level(), "LED level");
            reader.Relay(1, true);
        }
        True(!kept.IsOpen && !Sim.DeviceOpen, "closed at the end of using");
    }

    static void FourKCardAndSelectByUid()
    {
        using (var reader = new Reader())
        {
            var uid = Bytes("DEADBEEF");
            Equal(0, Sim.zubsim_new_card(Sim.Card4K, uid), "new 4K card");
            Equal(0x0200, reader.Request(), "ATQA of a 4K card");
            Equal(Card.SerialOf(uid), reader.Anticollision(), "serial");
            Equal(0x18, reader.Select(uid), "SAK of a 4K card");
            // Block 200 lies in a 16-block sector of the card's upper area.
            reader.LoadKey(KeyType.A, 7, TransportKey);
            reader.Authenticate(KeyType.A, 7, 200);
            reader.Write(200, Greeting);
            Equal(Greeting, Sim.Block(200), "block 200");
            // Key B is readable in the transport configuration, so it cannot authenticate.
            reader.LoadKey(KeyType.B, 7, TransportKey);
            var refused = Throws<CardException>(() => reader.Authenticate(KeyType.B, 7, 200), "key B");
            Equal(Status.NoPermission, refused.Status, "status of key B");
        }
    }

    // ---- Errors ------------------------------------------------------------

    static void CardStatuses()
    {
        var cases = new[]
        {
            Tuple.Create<Action<Reader>, string, int, string>(r => r.Read(8), "mif_Read", 1, "没有卡或密码错"),
            Tuple.Create<Action<Reader>, string, int, string>(r => { r.Authenticate(KeyType.A, 0, 0); r.Write(0, new byte[16]); }, "mif_Write", 16, "无读写权限"),
            Tuple.Create<Action<Reader>, string, int, string>(r => r.Increment(4, 1), "mif_Increment", 22, "增值操作错"),
            Tuple.Create<Action<Reader>, string, int, string>(r => r.Decrement(4, 1), "mif_Decrement", 23, "减值操作错"),
            Tuple.Create<Action<Reader>, string, int, string>(r => r.Restore(4), "mif_Restore", 23, "减值操作错"),
            Tuple.Create<Action<Reader>, string, int, string>(r => r.Transfer(5), "mif_Transfer", 20, "值保存错"),
            Tuple.Create<Action<Reader>, string, int, string>(r => r.LoadKey((KeyType)2, 0, new byte[6]), "mif_LoadKey", 255, "功能未实现"),
            Tuple.Create<Action<Reader>, string, int, string>(r => r.Authenticate(KeyType.A, 9, 4), "mif_Authentication", 4, "密码错"),
            Tuple.Create<Action<Reader>, string, int, string>(r => { r.WriteValue(5, int.MaxValue); r.Increment(5, 1); }, "mif_Increment", 3, "数值溢出"),
            Tuple.Create<Action<Reader>, string, int, string>(r => { Sim.zubsim_take_out_card(); r.Request(); }, "mif_Request", 1, "没有卡或密码错"),
        };
        foreach (var c in cases)
        {
            Sim.zubsim_reset();
            using (var reader = Authenticated(new Reader(0)))
            {
                var e = Throws<CardException>(() => c.Item1(reader), c.Item2);
                Equal(c.Item3, e.Code, c.Item2 + " code");
                Equal((Status)c.Item3, e.Status, c.Item2 + " status");
                Equal(c.Item4, e.Text, c.Item2 + " text");
                Equal(c.Item2, e.Function, c.Item2 + " function");
                Equal(Messages.Description(c.Item3), e.Description, c.Item2 + " description");
                Equal(c.Item2 + ": " + c.Item4 + " (result " + c.Item3 + ": " + e.Description + ")", e.Message, c.Item2 + " message");
                True(e is MifareZubException, "a CardException is a MifareZubException");
            }
        }
    }

    static void FailedExchanges()
    {
        var faults = new[]
        {
            Tuple.Create(Sim.FaultNoReply, 0), Tuple.Create(Sim.FaultLostRequest, 0), Tuple.Create(Sim.FaultBadCheck, 0),
            Tuple.Create(Sim.FaultOtherCommand, -1), Tuple.Create(Sim.FaultTruncated, 3),
        };
        foreach (var fault in faults)
        {
            Sim.zubsim_reset();
            using (var reader = new Reader(0))
            {
                Sim.zubsim_fault_exchange(fault.Item1, fault.Item2, 1);
                var what = "fault " + fault.Item1;
                var e = Throws<ExchangeException>(() => reader.LoadKey(KeyType.A, 0, new byte[6]), what);
                Equal(-2, e.Code, what + " code");
                Equal(Status.ExchangeFailed, e.Status, what + " status");
                Equal("串口通讯错", e.Text, what + " text");
                Equal("mif_LoadKey", e.Function, what + " function");
                Equal("no valid reply from the reader", e.Description, what + " description");
                // The link stays open: the next command goes through.
                Equal(0x0400, reader.Request(), what + ": request after the fault");
            }
        }
        // A failed exchange in a text output leaves no text behind.
        Sim.zubsim_reset();
        using (var reader = new Reader(0))
        {
            reader.Request();
            Sim.zubsim_fault_exchange(Sim.FaultTruncated, 4, 1);
            Throws<ExchangeException>(() => reader.Anticollision(), "truncated anticollision");
        }
    }

    static void WaitForCard()
    {
        using (var reader = new Reader(0))
        {
            Equal(Bytes("1A7B8C54"), reader.WaitForCard(TimeSpan.FromSeconds(5)).Uid, "card in the field");
            Sim.zubsim_take_out_card();
            foreach (var ms in new[] { 0, 300 })
            {
                var clock = System.Diagnostics.Stopwatch.StartNew();
                True(reader.WaitForCard(TimeSpan.FromMilliseconds(ms)) == null, "no card within " + ms + " ms");
                True(clock.ElapsedMilliseconds >= ms && clock.ElapsedMilliseconds < ms + 500, "waited " + clock.ElapsedMilliseconds + " ms for " + ms);
            }
            var later = new Thread(() => { Thread.Sleep(350); Sim.zubsim_put_back_card(); });
            later.Start();
            var watch = System.Diagnostics.Stopwatch.StartNew();
            var card = reader.WaitForCard(Timeout.InfiniteTimeSpan);
            later.Join();
            True(card != null && watch.ElapsedMilliseconds >= 300, "a card that came later");
            reader.LoadKey(KeyType.A, 0, TransportKey);
            reader.Authenticate(KeyType.A, 0, 4);  // selected: the sector opens
            Sim.zubsim_take_out_card();
            Sim.zubsim_fault_exchange(Sim.FaultNoReply, 0, 1000);
            Throws<ExchangeException>(() => reader.WaitForCard(TimeSpan.FromSeconds(10)), "reader stopped answering");
            Sim.zubsim_fault_exchange(Sim.FaultNoReply, 0, 0);
            Throws<ArgumentOutOfRangeException>(() => reader.WaitForCard(TimeSpan.FromSeconds(-2)), "negative timeout");
        }
    }

    static void NoReader()
    {
        Sim.zubsim_set_device_index(-1);
        var e = Throws<NoLinkException>(() => new Reader(0), "no reader");
        Equal(-1, e.Code, "code");
        Equal(Status.NoLink, e.Status, "status");
        Equal("串口错", e.Text, "text");
        Equal("OpenComm", e.Function, "function");
        // The virtual reader cannot tell why: the code's own description.
        Equal("reader not open or not answering", e.Description, "description");
        Sim.zubsim_set_device_index(3);
        Throws<NoLinkException>(() => new Reader(0), "reader at another index");
        using (var reader = new Reader(3))
            Equal(0x0400, reader.Request(), "reader at index 3");
        // An unexpected code keeps its number and the library's generic text.
        var other = (MifareZubException)typeof(MifareZubException)
                        .GetMethod("For", BindingFlags.Static | BindingFlags.NonPublic, null, new[] { typeof(int), typeof(string) }, null)
                        .Invoke(null, new object[] { -3, "mif_Halt" });
        Equal(typeof(MifareZubException), other.GetType(), "class of code -3");
        Equal("错误：-3", other.Text, "text of code -3");
        Equal("unknown result", other.Description, "description of code -3");
    }

    // The header's names (MZ_STATUS_CARD_ERROR is Status.CardError); the names
    // of earlier releases stay as obsolete aliases of the same values.
    static void StatusNamesAreTheHeaders()
    {
        Equal("6,8,16,19", string.Join(",", new[] { Status.CardError, Status.InvalidSerial, Status.NoPermission, Status.Waiting }
                                               .Select(v => ((int)v).ToString()).ToArray()), "their values");
#pragma warning disable 618
        Equal(Status.CardError, Status.CommunicationError, "CommunicationError");
        Equal(Status.InvalidSerial, Status.InvalidChip, "InvalidChip");
        Equal(Status.NoPermission, Status.AccessDenied, "AccessDenied");
        Equal(Status.Waiting, Status.WaitingForDV, "WaitingForDV");
#pragma warning restore 618
        foreach (var old in new[] { "CommunicationError", "InvalidChip", "AccessDenied", "WaitingForDV" })
            True(typeof(Status).GetField(old).GetCustomAttributes(typeof(ObsoleteAttribute), false).Length == 1,
                 old + " is obsolete");
    }

    // A text output the library gives with success but short or not hex is no
    // data: an ExchangeException (-2) with the library's text and the header's
    // description. The virtual reader answers status 0 with no fields.
    static void ShortTextsAreNoData()
    {
        var cases = new[]
        {
            Tuple.Create<Func<Reader, object>, string>(r => { r.Request(); Sim.zubsim_fault_exchange(Sim.FaultStatus, 0, 1); return r.Anticollision(); }, "mif_Anticollision"),
            Tuple.Create<Func<Reader, object>, string>(r => { Authenticated(r); Sim.zubsim_fault_exchange(Sim.FaultStatus, 0, 1); return r.Read(4); }, "mif_Read"),
            Tuple.Create<Func<Reader, object>, string>(r => { Authenticated(r).WriteValue(5, 1); Sim.zubsim_fault_exchange(Sim.FaultStatus, 0, 1); return r.ReadValue(5); }, "mif_Read"),
        };
        foreach (var c in cases)
        {
            Sim.zubsim_reset();
            using (var reader = new Reader(0))
            {
                var e = Throws<ExchangeException>(() => c.Item1(reader), c.Item2 + " with a short text");
                Equal(-2, e.Code, c.Item2 + " code");
                Equal(c.Item2, e.Function, c.Item2 + " function");
                Equal("串口通讯错", e.Text, c.Item2 + " text");
                Equal("no valid reply from the reader", e.Description, c.Item2 + " description");
            }
        }
    }

    // Every code of the library's table, and codes outside it, decoded from GBK.
    static void MessagesOfEveryCode()
    {
        var table = new Dictionary<int, string>
        {
            { 0, "OK" }, { 1, "没有卡或密码错" }, { 2, "卡通讯CRC校验错" }, { 3, "数值溢出" }, { 4, "密码错" },
            { 5, "卡通讯奇偶校验错" }, { 6, "卡通讯错" }, { 8, "无效的芯片号" }, { 16, "无读写权限" },
            { 17, "卡通讯位数错" }, { 18, "卡通讯字节数错" }, { 19, "等待DV" }, { 20, "值保存错" }, { 21, "写卡错" },
            { 22, "增值操作错" }, { 23, "减值操作错" }, { 24, "读卡错" }, { 32, "POLL" }, { 255, "功能未实现" },
            { -1, "串口错" }, { -2, "串口通讯错" },
            { 7, "错误：7" }, { 256, "错误：256" }, { -3, "错误：-3" }, { int.MinValue, "错误：-2147483648" },
        };
        var named = Enum.GetValues(typeof(Status)).Cast<int>().Distinct().ToList();
        foreach (var entry in table)
        {
            Equal(entry.Value, Messages.Text(entry.Key), "text of " + entry.Key);
            var inTable = !entry.Value.StartsWith("错误");
            Equal(inTable, named.Contains(entry.Key), "Status names " + entry.Key);
            Equal(inTable, Messages.Description(entry.Key) != "unknown result", "description of " + entry.Key);
        }
        Equal(named.Count, named.Select(Messages.Description).Distinct().Count(), "distinct descriptions");
    }

    // Without a GBK decoder the English description stands in for Chinese
    // texts; ASCII texts need no decoder.
    static void FallbackWithoutGbk()
    {
        var decode = typeof(Messages).GetMethod("Decode", BindingFlags.Static | BindingFlags.NonPublic, null,
                                                new[] { typeof(byte[]), typeof(int), typeof(Encoding) }, null);
        Func<byte[], int, Encoding, string> call = (raw, code, enc) => (string)decode.Invoke(null, new object[] { raw, code, enc });
        var gbk = Encoding.GetEncoding(936);
        Equal("wrong key", call(gbk.GetBytes("密码错"), 4, null), "4 without GBK");
        Equal("unknown result 7", call(gbk.GetBytes("错误：7"), 7, null), "7 without GBK");
        Equal("OK", call(Encoding.ASCII.GetBytes("OK"), 0, null), "0 without GBK");
        Equal("POLL", call(Encoding.ASCII.GetBytes("POLL"), 32, null), "32 without GBK");
        Equal("密码错", call(gbk.GetBytes("密码错"), 4, gbk), "4 with GBK");
    }

    // ---- Arguments ---------------------------------------------------------

    static void ArgumentsRefusedBeforeAnythingIsSent()
    {
        var cases = new Dictionary<string, Action<Reader>>
        {
            { "read 256", r => r.Read(256) },
            { "read -1", r => r.Read(-1) },
            { "write 15 bytes", r => r.Write(4, new byte[15]) },
            { "write null", r => r.Write(4, null) },
            { "write block 300", r => r.Write(300, new byte[16]) },
            { "key of 5 bytes", r => r.LoadKey(KeyType.A, 0, new byte[5]) },
            { "key slot 256", r => r.LoadKey(KeyType.A, 256, new byte[6]) },
            { "key type 256", r => r.LoadKey((KeyType)256, 0, new byte[6]) },
            { "authenticate block 256", r => r.Authenticate(KeyType.A, 0, 256) },
            { "authenticate slot -1", r => r.Authenticate(KeyType.A, -1, 4) },
            { "select 3 bytes", r => r.Select(new byte[3]) },
            { "select null", r => r.Select(null) },
            { "increment block 256", r => r.Increment(256, 1) },
            { "decrement block -1", r => r.Decrement(-1, 1) },
            { "restore block 256", r => r.Restore(256) },
            { "transfer block 256", r => r.Transfer(256) },
            { "value address 256", r => r.WriteValue(5, 1, 256) },
            { "LED level 128", r => r.LedLevel(128) },
            { "LED 256", r => r.Led(256) },
            { "beep -1 ms", r => r.BeepMs(-1) },
        };
        using (var reader = new Reader(0))
        {
            foreach (var c in cases)
            {
                Sim.zubsim_clear_trace();
                Throws<ArgumentException>(() => c.Value(reader), c.Key);
                Equal("", Sim.Trace(), c.Key + ": frames sent");
            }
            Equal(0x0400, reader.Request(), "request after the refusals");
        }
        Throws<ArgumentOutOfRangeException>(() => new Reader(256), "device 256");
        Throws<ArgumentOutOfRangeException>(() => new Reader(-1), "device -1");
        True(!Sim.DeviceOpen, "no device opened for a refused index");
        Throws<ArgumentException>(() => Card.SerialOf(new byte[5]), "serial of 5 bytes");
    }

    // ---- The link ----------------------------------------------------------

    static void DisposeClosesTheLink()
    {
        var reader = new Reader(0);
        reader.Dispose();
        True(!Sim.DeviceOpen && !reader.IsOpen, "disposed reader closed");
        reader.Dispose(); // harmless
        Sim.zubsim_clear_trace();
        Throws<ObjectDisposedException>(() => reader.Beep(), "beep after dispose");
        Throws<ObjectDisposedException>(() => reader.Read(4), "read after dispose");
        Throws<ObjectDisposedException>(() => reader.Open(), "open after dispose");
        Equal("", Sim.Trace(), "frames sent after dispose");

        // An exception inside using still closes the link.
        Throws<CardException>(() =>
        {
            using (var r = new Reader(0)) r.Read(4);
        }, "read without a card");
        True(!Sim.DeviceOpen, "closed after an exception");

        // Close keeps the reader for another Open.
        using (var r = new Reader(0))
        {
            r.Close();
            True(!Sim.DeviceOpen, "closed");
            Throws<NoLinkException>(() => r.Request(), "request after close");
            r.Open();
            Equal(0x0400, r.Request(), "request after open");
        }
    }

    static void SecondReaderSupersedesTheFirst()
    {
        var first = new Reader(0);
        var second = new Reader(0);
        True(second.IsOpen && !first.IsOpen, "the second reader holds the link");
        var stale = Throws<NoLinkException>(() => first.Beep(), "beep through the first");
        Equal("zub_beep", stale.Function, "function");
        Equal("串口错", stale.Text, "text");
        Equal(0u, Sim.zubsim_beep_count(), "beeps sent through the first");

        first.Dispose(); // must not close the link the second holds
        True(Sim.DeviceOpen, "link open after disposing the first");
        second.Beep();
        Equal(1u, Sim.zubsim_beep_count(), "beeps");
        second.Dispose();
        True(!Sim.DeviceOpen, "closed by the second");
    }

    // Several threads on one reader: the binding runs their calls one at a
    // time, so each exchange gets its own reply.
    static void ThreadsShareOneReader()
    {
        using (var reader = Authenticated(new Reader(0)))
        {
            reader.Write(4, Greeting);
            var errors = new List<string>();
            var threads = Enumerable.Range(0, 4).Select(n => new Thread(() =>
            {
                try
                {
                    for (var i = 0; i < 50; ++i)
                    {
                        if (n % 2 == 0 && !reader.Read(4).SequenceEqual(Greeting)) throw new Exception("block 4 differs");
                        if (n % 2 == 1) reader.Led(n, i % 2 == 0);
                    }
                }
                catch (Exception e)
                {
                    lock (errors) errors.Add(e.Message);
                }
            })).ToList();
            threads.ForEach(t => t.Start());
            threads.ForEach(t => t.Join());
            Equal("", string.Join("; ", errors), "errors in threads");
        }
    }

    // ---- Buffers -----------------------------------------------------------

    // What the library writes into a host's buffer of the documented size:
    // a zero-terminated text within it, never a byte past it; null when it
    // wrote nothing at all.
    static byte[] Guarded(int size, Action<IntPtr> call, string what)
    {
        const int guard = 32;
        var memory = Marshal.AllocHGlobal(size + guard);
        try
        {
            for (var i = 0; i < size + guard; ++i) Marshal.WriteByte(memory, i, 0xA5);
            call(memory);
            for (var i = size; i < size + guard; ++i)
                if (Marshal.ReadByte(memory, i) != 0xA5) throw new Failure(what + " wrote byte " + i + " of a " + size + "-byte buffer");
            var untouched = true;
            for (var i = 0; i < size; ++i) untouched &= Marshal.ReadByte(memory, i) == 0xA5;
            if (untouched) return null;
            var length = 0;
            while (length < size && Marshal.ReadByte(memory, length) != 0) ++length;
            True(length < size, what + " left no zero byte in its buffer");
            var text = new byte[length];
            Marshal.Copy(memory, text, 0, length);
            return text;
        }
        finally
        {
            Marshal.FreeHGlobal(memory);
        }
    }

    static void NoBufferWrittenPastItsSize()
    {
        var gbk = Encoding.GetEncoding(936);
        var codes = Enumerable.Range(-300, 600).Concat(new[] { int.MinValue, int.MaxValue, -1000000000, 1000000000, -999999999 });
        foreach (var code in codes)
        {
            var text = Guarded(18, p => Raw.ErrMsg(code, ref p), "ErrMsg(" + code + ")");
            Equal(Messages.Text(code), gbk.GetString(text), "ErrMsg(" + code + ") through the binding");
        }
        using (var reader = new Reader(0))
        {
            // Outputs on success, and on failures (no card selected, no card).
            Equal("", Encoding.ASCII.GetString(Guarded(33, p => Raw.mif_Read(4, ref p), "unauthenticated read")), "text of a refused read");
            reader.Request();
            Equal("1A7B8C54B9", Encoding.ASCII.GetString(Guarded(11, p => Raw.mif_Anticollision(ref p), "anticollision")), "serial text");
            reader.Select(Bytes("1A7B8C54B9"));
            reader.LoadKey(KeyType.A, 0, TransportKey);
            reader.Authenticate(KeyType.A, 0, 4);
            reader.Write(4, Enumerable.Repeat((byte)0xFF, 16).ToArray());
            Equal(new string('F', 32), Encoding.ASCII.GetString(Guarded(33, p => Raw.mif_Read(4, ref p), "read")), "block text");
            Sim.zubsim_take_out_card();
            Equal("", Encoding.ASCII.GetString(Guarded(11, p => Raw.mif_Anticollision(ref p), "anticollision, no card")), "text with no card");
        }
        Raw.CloseComm();
        // -1 and -2 leave a host's buffer as it was (the binding's start as the empty text).
        Equal(null, Guarded(33, p => Raw.mif_Read(4, ref p), "read with no link"), "text with no link");

        // The binding's own buffers refuse a text that ran past them.
        var bufferType = typeof(Reader).Assembly.GetType("MifareZub.TextBuffer", true);
        var buffer = (IDisposable)Activator.CreateInstance(bufferType, BindingFlags.Instance | BindingFlags.NonPublic, null, new object[] { 11 }, null);
        using (buffer)
        {
            var memory = (IntPtr)bufferType.GetProperty("Pointer", BindingFlags.Instance | BindingFlags.NonPublic).GetValue(buffer, null);
            var take = bufferType.GetMethod("Take", BindingFlags.Instance | BindingFlags.NonPublic);
            Equal(0, ((byte[])take.Invoke(buffer, new object[] { "x" })).Length, "a fresh buffer holds the empty text");
            for (var i = 0; i < 11; ++i) Marshal.WriteByte(memory, i, (byte)'A');
            var unterminated = Throws<TargetInvocationException>(() => take.Invoke(buffer, new object[] { "x" }), "text without zero");
            True(unterminated.InnerException is InvalidOperationException, "refused: " + unterminated.InnerException);
            Marshal.WriteByte(memory, 10, 0);
            Marshal.WriteByte(memory, 11, 0);
            var overrun = Throws<TargetInvocationException>(() => take.Invoke(buffer, new object[] { "x" }), "guard overwritten");
            True(overrun.InnerException.Message.Contains("wrote past"), "refused: " + overrun.InnerException.Message);
        }
    }

    // ---- Value blocks ------------------------------------------------------

    static void ValueBlocks()
    {
        Equal(Example, ValueBlock.Encode(1234567, 17), "the documented layout");
        Equal(new ValueBlock(1234567, 17), ValueBlock.Decode(Example), "the documented layout decoded");
        Equal(Example, new ValueBlock(1234567, 17).ToBytes(), "ToBytes");
        foreach (var value in new[] { 0, 1, -1, 100, 1234567, -1234567, int.MaxValue, int.MinValue })
            foreach (var address in new[] { 0, 5, 0x80, 255 })
            {
                var block = ValueBlock.Encode(value, address);
                Equal(16, block.Length, "length");
                Equal(new ValueBlock(value, address), ValueBlock.Decode(block), value + " @ " + address);
                True(ValueBlock.IsValueBlock(block), value + " @ " + address + " is a value block");
            }
        for (var position = 0; position < 16; ++position)
        {
            var damaged = (byte[])Example.Clone();
            damaged[position] ^= 0x01;
            True(!ValueBlock.IsValueBlock(damaged), "byte " + position + " damaged");
            Throws<ValueBlockException>(() => ValueBlock.Decode(damaged), "decode with byte " + position + " damaged");
        }
        foreach (var block in new[] { new byte[16], Enumerable.Repeat((byte)0xFF, 16).ToArray(), Example.Take(15).ToArray(), Example.Concat(new byte[1]).ToArray() })
            Throws<ValueBlockException>(() => ValueBlock.Decode(block), "not a value block: " + Show(block));
        Throws<ArgumentNullException>(() => ValueBlock.Decode(null), "decode null");
        Throws<ArgumentOutOfRangeException>(() => ValueBlock.Encode(0, 256), "address 256");
        Throws<ArgumentOutOfRangeException>(() => ValueBlock.Encode(0, -1), "address -1");

        using (var reader = Authenticated(new Reader(0)))
        {
            // The card's own increment works on what the helper wrote, and
            // leaves a block the helper reads back.
            reader.Write(6, ValueBlock.Encode(-5, 6));
            reader.Increment(6, 7);
            reader.Transfer(6);
            Equal(new ValueBlock(2, 6), ValueBlock.Decode(Sim.Block(6)), "value after the card's increment");
            reader.WriteValue(5, -42, 0x33);
            Equal(new ValueBlock(-42, 0x33), ValueBlock.Decode(Sim.Block(5)), "value with its own address");
            reader.Write(4, Example.Take(12).Concat(new byte[4]).ToArray());
            Throws<ValueBlockException>(() => reader.ReadValue(4), "read value of a data block");
        }
    }

    // ---- Running -----------------------------------------------------------

    static int Main(string[] args)
    {
        if (args.Length < 1)
        {
            Console.Error.WriteLine("usage: Tests.exe MifareZUB.def [name filter]");
            return 2;
        }
        defFile = args[0];
        var filter = args.Length > 1 ? args[1] : "";
        foreach (var name in Environment.GetEnvironmentVariables().Keys.Cast<string>().Where(n => n.StartsWith("ZUBSIM_")))
            Environment.SetEnvironmentVariable(name, null);

        var tests = new Action[]
        {
            Declarations, CardSession, FourKCardAndSelectByUid, CardStatuses, FailedExchanges, WaitForCard, NoReader,
            MessagesOfEveryCode, StatusNamesAreTheHeaders, ShortTextsAreNoData, FallbackWithoutGbk, ArgumentsRefusedBeforeAnythingIsSent, DisposeClosesTheLink,
            SecondReaderSupersedesTheFirst, ThreadsShareOneReader, NoBufferWrittenPastItsSize, ValueBlocks,
        };
        int passed = 0, failed = 0;
        foreach (var test in tests.Where(t => t.Method.Name.Contains(filter)))
        {
            // A fresh virtual reader, and no link of an earlier test left open.
            Raw.CloseComm();
            Sim.zubsim_reset();
            try
            {
                test();
                Console.WriteLine("PASS " + test.Method.Name);
                ++passed;
            }
            catch (Exception e)
            {
                Console.WriteLine("FAIL " + test.Method.Name + ": " + (e is Failure ? e.Message : e.ToString()));
                ++failed;
            }
        }
        Console.WriteLine(passed + " passed, " + failed + " failed");
        return failed == 0 && passed > 0 ? 0 : 1;
    }
}
