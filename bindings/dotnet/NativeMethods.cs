// The P/Invoke declarations of the native library: MifareZUB.dll on Windows
// (x86, stdcall; an x64 build where one exists) and libMifareZUB.so elsewhere.
// It must be where the runtime's loader looks: beside the program (or in
// runtimes/<rid>/native of the NuGet package) on Windows; beside the assembly,
// or on LD_LIBRARY_PATH, under Mono and .NET on Linux.

using System;
using System.Runtime.InteropServices;

namespace MifareZub
{
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
