// Prints the public surface of an assembly, one line per type and member,
// sorted, so that two builds of the binding can be compared as text: the
// assembly from its parts and the one from the generated single file.
//
// Usage: mono PublicApi.exe ASSEMBLY
// Covers what a program compiled against the binding relies on: the exported
// types with their kind, base type and interfaces, enum values, and every
// public or protected member with its signature, parameter names and default
// values.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Reflection;

static class PublicApi
{
    const BindingFlags Declared = BindingFlags.Public | BindingFlags.NonPublic | BindingFlags.Instance |
                                  BindingFlags.Static | BindingFlags.DeclaredOnly;

    static int Main(string[] args)
    {
        if (args.Length != 1)
        {
            Console.Error.WriteLine("usage: PublicApi ASSEMBLY");
            return 2;
        }
        var lines = new List<string>();
        foreach (var type in Assembly.LoadFrom(args[0]).GetExportedTypes())
        {
            lines.Add(Describe(type));
            if (type.IsEnum)
            {
                foreach (var name in Enum.GetNames(type))
                    lines.Add(type.FullName + " = " + name + " " + Convert.ToInt64(Enum.Parse(type, name)));
                continue;
            }
            foreach (var member in type.GetMembers(Declared))
            {
                var line = Describe(member);
                if (line != null) lines.Add(type.FullName + " :: " + line);
            }
        }
        lines.Sort(StringComparer.Ordinal);
        foreach (var line in lines) Console.WriteLine(line);
        return 0;
    }

    static string Describe(Type type)
    {
        var kind = type.IsEnum ? "enum" : type.IsValueType ? "struct" : type.IsInterface ? "interface" : "class";
        if (type.IsClass && type.IsAbstract && type.IsSealed) kind = "static " + kind;
        else if (type.IsClass && type.IsSealed) kind = "sealed " + kind;
        else if (type.IsClass && type.IsAbstract) kind = "abstract " + kind;
        var bases = new List<string>();
        if (type.BaseType != null) bases.Add(type.BaseType.FullName);
        bases.AddRange(type.GetInterfaces().Select(i => i.ToString()).OrderBy(n => n, StringComparer.Ordinal));
        return kind + " " + type.FullName + " : " + string.Join(", ", bases);
    }

    // Null for a member no other assembly sees (private, internal).
    static string Describe(MemberInfo member)
    {
        var method = member as MethodBase;
        if (method != null)
        {
            if (!method.IsPublic && !method.IsFamily && !method.IsFamilyOrAssembly) return null;
            var modifiers = (method.IsStatic ? "static " : "") + (method.IsVirtual ? "virtual " : "") +
                            (method.IsAbstract ? "abstract " : "");
            return modifiers + method + " (" + Parameters(method) + ")" + (method.IsPublic ? "" : " protected");
        }
        var field = member as FieldInfo;
        if (field != null)
        {
            if (!field.IsPublic && !field.IsFamily && !field.IsFamilyOrAssembly) return null;
            var value = field.IsLiteral ? " = " + field.GetRawConstantValue() : "";
            return (field.IsStatic ? "static " : "") + (field.IsInitOnly ? "readonly " : "") + field + value;
        }
        var property = member as PropertyInfo;
        if (property != null)
        {
            // Its accessors are listed as methods; the property itself tells whether it is one.
            var visible = property.GetAccessors(false).Length > 0;
            return visible ? "property " + property : null;
        }
        var e = member as EventInfo;
        if (e != null) return e.GetAddMethod(false) != null ? "event " + e : null;
        var nested = member as Type;
        if (nested != null) return nested.IsNestedPublic || nested.IsNestedFamily ? "nested " + nested.FullName : null;
        return "member " + member;
    }

    static string Parameters(MethodBase method)
    {
        return string.Join(", ", method.GetParameters().Select(p =>
            (p.IsOut ? "out " : p.ParameterType.IsByRef ? "ref " : "") + p.ParameterType + " " + p.Name +
            (p.IsOptional ? " = " + (p.DefaultValue ?? "null") : "") +
            (p.IsDefined(typeof(ParamArrayAttribute), false) ? " params" : "")));
    }
}
