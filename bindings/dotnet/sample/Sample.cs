// A whole card session: find the card, open sector 1 with the transport key,
// write and read a data block, keep a value in a value block, halt the card
// and signal the result. Usage: Sample [device index]
using System;
using System.Text;
using MifareZub;

static class Sample
{
    static readonly byte[] TransportKey = { 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF };

    static int Main(string[] args)
    {
        var device = args.Length > 0 ? int.Parse(args[0]) : 0;
        try
        {
            using (var reader = new Reader(device))
            {
                var card = reader.SelectCard();
                Console.WriteLine("card: " + card);

                reader.LoadKey(KeyType.A, 0, TransportKey);
                reader.Authenticate(KeyType.A, 0, 4); // sector 1: blocks 4 to 7

                var greeting = new byte[16];
                Encoding.ASCII.GetBytes("Hello, card!", 0, 12, greeting, 0);
                reader.Write(4, greeting);
                Console.WriteLine("block 4: " + BitConverter.ToString(reader.Read(4)));

                reader.WriteValue(5, 100);
                reader.Increment(5, 25);
                reader.Transfer(5);
                Console.WriteLine("value in block 5: " + reader.ReadValue(5));

                reader.Halt();
                reader.Led(1);
                reader.BeepMs(50);
            }
            return 0;
        }
        catch (MifareZubException e)
        {
            // e.Text is the library's own (Chinese) text; e.Description its English reading.
            Console.Error.WriteLine("{0} failed: {1} ({2}, result {3})", e.Function, e.Description, e.Text, e.Code);
            return e is NoLinkException ? 3 : 1;
        }
        catch (DllNotFoundException e)
        {
            Console.Error.WriteLine("cannot load the MifareZUB library: " + e.Message);
            return 3;
        }
    }
}
