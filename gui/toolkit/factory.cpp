#include "toolkit/factory.h"

#include <gtk/gtk.h>

void pi_factory_log_failure(const std::string &topId, const char *why)
{
    core_log(CORE_LOG_ERROR, "toolkit", "window \"%s\" not built: %s", topId.c_str(), why);
}

GObject *pi_factory_object(const Glib::RefPtr<Gtk::Builder> &builder, const std::string &topId)
{
    return gtk_builder_get_object(builder->gobj(), topId.c_str());
}

bool pi_factory_object_fits(const Glib::RefPtr<Gtk::Builder> &builder, const std::string &topId, GType type)
{
    GObject *object = pi_factory_object(builder, topId);
    return object != nullptr && GTK_IS_WIDGET(object) && g_type_is_a(G_OBJECT_TYPE(object), type);
}

ARMWindow::ARMWindow(GtkWindow *cobject, const Glib::RefPtr<Gtk::Builder> &) : VeltranaWindow<Gtk::Window>(cobject) {}

const char pi_arm_window_ui[] = R"ui(<?xml version="1.0" encoding="UTF-8"?>
<interface>
  <requires lib="gtk+" version="3.24"/>
  <object class="GtkWindow" id="arm_window">
    <property name="can_focus">False</property>
    <property name="resizable">False</property>
    <property name="window_position">center</property>
    <property name="default_width">400</property>
    <property name="default_height">200</property>
    <property name="gravity">center</property>
    <child>
      <object class="GtkBox">
        <property name="visible">True</property>
        <property name="can_focus">False</property>
        <property name="orientation">vertical</property>
        <child>
          <object class="GtkScrolledWindow">
            <property name="visible">True</property>
            <property name="can_focus">True</property>
            <property name="shadow_type">in</property>
            <child>
              <object class="GtkTextView" id="arm_text_view">
                <property name="visible">True</property>
                <property name="can_focus">True</property>
              </object>
            </child>
          </object>
          <packing>
            <property name="expand">True</property>
            <property name="fill">True</property>
            <property name="position">0</property>
          </packing>
        </child>
        <child>
          <object class="GtkButtonBox">
            <property name="visible">True</property>
            <property name="can_focus">False</property>
            <property name="margin_start">4</property>
            <property name="margin_end">4</property>
            <property name="margin_top">4</property>
            <property name="margin_bottom">4</property>
            <property name="layout_style">end</property>
            <child>
              <object class="GtkButton" id="ok_button">
                <property name="label" translatable="yes">Ok</property>
                <property name="visible">True</property>
                <property name="can_focus">True</property>
                <property name="can_default">True</property>
                <property name="has_default">True</property>
                <property name="receives_default">True</property>
              </object>
              <packing>
                <property name="expand">True</property>
                <property name="fill">True</property>
                <property name="position">0</property>
              </packing>
            </child>
          </object>
          <packing>
            <property name="expand">False</property>
            <property name="fill">True</property>
            <property name="pack_type">end</property>
            <property name="position">1</property>
          </packing>
        </child>
      </object>
    </child>
  </object>
</interface>
)ui";
