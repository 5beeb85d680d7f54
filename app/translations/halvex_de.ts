<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>InfoPlist</name>
    <message>
        <source>Halvex Capture</source>
        <translation>Halvex Capture</translation>
    </message>
    <message>
        <source>connect</source>
        <translation>verbunden</translation>
    </message>
    <message>
        <source>disconnect</source>
        <translation>getrennt</translation>
    </message>
    <message>
        <source>Live</source>
        <translation>Live</translation>
    </message>
    <message>
        <source>Stop</source>
        <translation>Stopp</translation>
    </message>
    <message>
        <source>Start Capture</source>
        <translation>Aufnahme starten</translation>
    </message>
    <message>
        <source>Stop Capture</source>
        <translation>Aufnahme beenden</translation>
    </message>
    <message>
        <source>Start Video</source>
        <translation>Video starten</translation>
    </message>
    <message>
        <source>Stop Video</source>
        <translation>Video beenden</translation>
    </message>
    <message>
        <source>cover telescope</source>
        <translation>Teleskop abdecken</translation>
    </message>
    <message>
        <source>WB Succeed</source>
        <translation>Weißabgleich gelungen</translation>
    </message>
    <message>
        <source>WB Fail</source>
        <translation>Weißabgleich fehlgeschlagen</translation>
    </message>
    <message>
        <source>Camera</source>
        <translation>Kamera</translation>
    </message>
    <message>
        <source>Zoom In</source>
        <translation>Vergrößern</translation>
    </message>
    <message>
        <source>Zoom Out</source>
        <translation>Verkleinern</translation>
    </message>
    <message>
        <source>Actual Size</source>
        <translation>Originalgröße</translation>
    </message>
    <message>
        <source>Resolution</source>
        <translation>Auflösung</translation>
    </message>
    <message>
        <source>Save size</source>
        <translation>Speichergröße</translation>
    </message>
    <message>
        <source>Pixel clock</source>
        <translation>Pixeltakt</translation>
    </message>
    <message>
        <source>Bit depth</source>
        <translation>Bittiefe</translation>
    </message>
    <message>
        <source>8 bit</source>
        <translation>8 Bit</translation>
    </message>
    <message>
        <source>16 bit</source>
        <translation>16 Bit</translation>
    </message>
    <message>
        <source>Gain</source>
        <translation>Verstärkung</translation>
    </message>
    <message>
        <source>Exposure (ms)</source>
        <translation>Belichtung (ms)</translation>
    </message>
    <message>
        <source>Auto exposure</source>
        <translation>Automatische Belichtung</translation>
    </message>
    <message>
        <source>Restart</source>
        <translation>Neu starten</translation>
    </message>
    <message>
        <source>Black level</source>
        <translation>Schwarzwert</translation>
    </message>
    <message>
        <source>Gamma</source>
        <translation>Gamma</translation>
    </message>
    <message>
        <source>Contrast</source>
        <translation>Kontrast</translation>
    </message>
    <message>
        <source>Defect correction</source>
        <translation>Pixelfehlerkorrektur</translation>
    </message>
    <message>
        <source>Flip horizontal</source>
        <translation>Horizontal spiegeln</translation>
    </message>
    <message>
        <source>Flip vertical</source>
        <translation>Vertikal spiegeln</translation>
    </message>
    <message>
        <source>Defaults</source>
        <translation>Standardwerte</translation>
    </message>
    <message>
        <source>Monochrome</source>
        <translation>Schwarzweiß</translation>
    </message>
    <message>
        <source>Colour enhancement</source>
        <translation>Farbverstärkung</translation>
    </message>
    <message>
        <source>Saturation</source>
        <translation>Sättigung</translation>
    </message>
    <message>
        <source>White balance</source>
        <translation>Weißabgleich</translation>
    </message>
    <message>
        <source>Red</source>
        <translation>Rot</translation>
    </message>
    <message>
        <source>Green</source>
        <translation>Grün</translation>
    </message>
    <message>
        <source>Blue</source>
        <translation>Blau</translation>
    </message>
    <message>
        <source>Colour</source>
        <translation>Farbe</translation>
    </message>
    <message>
        <source>Browse...</source>
        <translation>Durchsuchen...</translation>
    </message>
    <message>
        <source>Directory</source>
        <translation>Verzeichnis</translation>
    </message>
    <message>
        <source>File name</source>
        <translation>Dateiname</translation>
    </message>
    <message>
        <source>Count</source>
        <translation>Anzahl</translation>
    </message>
    <message>
        <source>Formats</source>
        <translation>Formate</translation>
    </message>
    <message>
        <source>Flat field</source>
        <translation>Flachfeld</translation>
    </message>
    <message>
        <source>Calibrate</source>
        <translation>Kalibrieren</translation>
    </message>
    <message>
        <source>Dark frame</source>
        <translation>Dunkelbild</translation>
    </message>
    <message>
        <source>Capture</source>
        <translation>Aufnahme</translation>
    </message>
    <message>
        <source>Simulate</source>
        <translation>Simulieren</translation>
    </message>
    <message>
        <source>Plug in camera</source>
        <translation>Kamera anschließen</translation>
    </message>
    <message>
        <source>Unplug camera</source>
        <translation>Kamera trennen</translation>
    </message>
    <message>
        <source>(none)</source>
        <translation>(keine)</translation>
    </message>
    <message>
        <source>%1 is not a directory</source>
        <translation>%1 ist kein Verzeichnis</translation>
    </message>
    <message>
        <source>%1 cannot be written</source>
        <translation>In %1 kann nicht geschrieben werden</translation>
    </message>
    <message>
        <source>%1 cannot be created</source>
        <translation>%1 kann nicht angelegt werden</translation>
    </message>
    <message>
        <source>%1 does not exist yet; it is made with the first snapshot or movie</source>
        <translation>%1 gibt es noch nicht; es wird mit dem ersten Bild oder Film angelegt</translation>
    </message>
    <message>
        <source>The movie %1 cannot be written</source>
        <translation>Der Film %1 kann nicht geschrieben werden</translation>
    </message>
</context>
</TS>
