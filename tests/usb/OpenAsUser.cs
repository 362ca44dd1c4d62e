// Opens the reader at the device index of the first argument through the C#
// binding and writes what came of it to standard error as
// "function|code|description": exit 0 when it opened, 3 for a NoLinkException.
using System;
using MifareZub;

static class OpenAsUser
{
    static int Main(string[] args)
    {
        try
        {
            using (new Reader(int.Parse(args[0])))
                Console.Error.Write("opened");
            return 0;
        }
        catch (NoLinkException e)
        {
            Console.Error.Write(e.Function + "|" + e.Code + "|" + e.Description);
            return 3;
        }
    }
}
