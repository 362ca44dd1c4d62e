// Why OpenComm found no reader, where the vendor library loaded with the
// library can tell: the libusb libCH375DLL.so for real readers on Linux keeps
// it (CH375GetLastOpenError, per thread); other vendor libraries do not.

using System;
using System.Runtime.InteropServices;

namespace MifareZub
{
    internal static class OpenFailure
    {
        const int RtldNow = 2, RtldNoLoad = 4;

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        delegate int LastOpenError();

        [DllImport("libc.so.6", EntryPoint = "dlopen")]
        static extern IntPtr DlOpen(string file, int mode);

        [DllImport("libc.so.6", EntryPoint = "dlsym")]
        static extern IntPtr DlSym(IntPtr handle, string name);

        [DllImport("libc.so.6", EntryPoint = "dlclose")]
        static extern int DlClose(IntPtr handle);

        /// <summary>The English text for a CH375_OPEN_ code; null when there is nothing to add to "no reader".</summary>
        internal static string Text(int code)
        {
            switch (code)
            {
                case 2: return "a reader is plugged in but this user may not open it: see docs/linux.md (udev rule)";
                case 3: return "a reader is plugged in but in use by another program (or a kernel driver): close that program and try again";
                case 4: return "no USB access: libusb cannot start (is /dev/bus/usb there?)";
                case 5: return "a reader is plugged in but opening it failed (a USB error)";
                default: return null;
            }
        }

        /// <summary>Why the last open on this thread failed, or null when the vendor library cannot tell.</summary>
        internal static string Reason()
        {
            if (Environment.OSVersion.Platform != PlatformID.Unix) return null;
            try
            {
                // The vendor library libMifareZUB.so was bound to, without loading another.
                var vendor = DlOpen("libCH375DLL.so", RtldNow | RtldNoLoad);
                if (vendor == IntPtr.Zero) return null;
                try
                {
                    var symbol = DlSym(vendor, "CH375GetLastOpenError");
                    if (symbol == IntPtr.Zero) return null;
                    var get = (LastOpenError)Marshal.GetDelegateForFunctionPointer(symbol, typeof(LastOpenError));
                    return Text(get());
                }
                finally
                {
                    DlClose(vendor);
                }
            }
            catch (Exception e) when (e is DllNotFoundException || e is EntryPointNotFoundException)
            {
                return null;  // not glibc: nothing more to say
            }
        }
    }
}
